// The demo site: a catalogue, title pages and episode pages that use the
// desktop application's page API (window.sorvantaDesktop) when it is there.
(function () {
  "use strict";

  var desk = window.sorvantaDesktop || null;
  var view = document.getElementById("view");
  var catalogue = null;
  var page = null; // state of the episode page on screen, null elsewhere
  // "#tour" on the catalogue: a scripted walk for screenshots and tests (catalogue, an
  // episode playing, the dropdown over the video). "#autoplay" on an episode plays it.
  var tour = location.hash === "#tour";

  // Lines with "sorvantaDesktop" reach the application's log.
  function trace(msg) {
    console.log("sorvantaDesktop demo: " + msg);
  }

  var REASONS = {
    "no-torrent-source": "для этой серии нет торрент-источников",
    "low-disk-space": "на диске мало места для кэша",
    "player-init-failed": "не удалось запустить видеоплеер",
    "origin-not-allowed": "этот сайт не может управлять плеером",
    "superseded": "запрос заменён новым"
  };

  function reasonText(reason) {
    reason = String(reason || "");
    if (REASONS[reason]) return REASONS[reason];
    if (reason.indexOf("all-sources-failed") === 0) return "ни один источник не отдал видео";
    if (reason.indexOf("storage-error") === 0) return "ошибка записи в кэш";
    return reason || "неизвестная причина";
  }

  function el(tag, attrs, children) {
    var node = document.createElement(tag);
    Object.keys(attrs || {}).forEach(function (k) {
      if (k === "text") node.textContent = attrs[k];
      else if (k === "class") node.className = attrs[k];
      else node.setAttribute(k, attrs[k]);
    });
    (children || []).forEach(function (c) { if (c) node.appendChild(c); });
    return node;
  }

  function poster(t, small) {
    var p = el("div", { "class": "poster" + (small ? " small" : "") }, [el("span", { text: t.title.charAt(0) })]);
    p.style.background = "linear-gradient(135deg, hsl(" + t.hue + ",55%,38%), hsl(" + ((t.hue + 40) % 360) + ",60%,16%))";
    return p;
  }

  function findTitle(id) {
    var list = catalogue ? catalogue.titles : [];
    for (var i = 0; i < list.length; i++) if (list[i].id === id) return list[i];
    return null;
  }

  // Availability badge: filled in once the application has answered.
  function badge(animeId, episode) {
    var b = el("span", { "class": "badge", text: desk ? "проверяем…" : "только в приложении" });
    if (!desk) return b;
    desk.ready.then(function () { return desk.availability(animeId, episode); }).then(function (r) {
      if (r && r.available) {
        b.textContent = "в приложении · " + r.sources + " ист.";
        b.className = "badge ok";
      } else {
        b.textContent = "нет источников";
        b.className = "badge no";
      }
    });
    return b;
  }

  // ---- routes -------------------------------------------------------------

  function route() {
    var m = location.pathname.match(/^\/title\/(\d+)(?:\/episode\/(\d+))?\/?$/);
    if (!m) return { name: "catalogue" };
    return { name: m[2] ? "episode" : "title", id: Number(m[1]), episode: m[2] ? Number(m[2]) : 0 };
  }

  function go(path) {
    if (path === location.pathname) return;
    history.pushState(null, "", path);
    render();
  }

  document.addEventListener("click", function (e) {
    var a = e.target.closest ? e.target.closest("a[data-link]") : null;
    if (!a || e.button !== 0 || e.metaKey || e.ctrlKey || e.shiftKey) return;
    e.preventDefault();
    go(a.getAttribute("href"));
  });
  window.addEventListener("popstate", render);

  function render() {
    leaveEpisodePage();
    view.textContent = "";
    if (!catalogue) return;
    var r = route();
    var t = r.name === "catalogue" ? null : findTitle(r.id);
    if (r.name === "catalogue" || !t) {
      renderCatalogue();
      if (tour && desk) {
        trace("tour catalogue");
        setTimeout(function () { go("/title/910001/episode/1"); }, 5000);
      }
    }
    else if (r.name === "title") renderTitle(t);
    else renderEpisode(t, r.episode);
    window.scrollTo(0, 0);
  }

  function renderCatalogue() {
    document.title = "Сорванта — каталог";
    var grid = el("div", { "class": "grid" });
    catalogue.titles.forEach(function (t) {
      grid.appendChild(el("a", { "class": "card", href: "/title/" + t.id, "data-link": "" }, [
        poster(t),
        el("div", { "class": "card-body" }, [
          el("h3", { text: t.title }),
          el("p", { "class": "muted", text: t.year + " · " + t.genres.join(", ") }),
          badge(t.id, t.episodes[0])
        ])
      ]));
    });
    view.appendChild(el("h1", { text: "Каталог" }));
    view.appendChild(el("p", { "class": "lead", text: desk
      ? "Серии идут из торрентов прямо в приложении. Выберите тайтл."
      : "Откройте этот сайт в приложении Sorvanta Desktop, чтобы смотреть серии из торрентов." }));
    view.appendChild(grid);
  }

  function renderTitle(t) {
    document.title = t.title + " — Сорванта";
    var list = el("ul", { "class": "episodes" });
    t.episodes.forEach(function (n) {
      list.appendChild(el("li", {}, [
        el("a", { href: "/title/" + t.id + "/episode/" + n, "data-link": "", text: "Серия " + n }),
        badge(t.id, n)
      ]));
    });
    view.appendChild(el("div", { "class": "title-head" }, [
      poster(t),
      el("div", {}, [
        el("h1", { text: t.title }),
        el("p", { "class": "muted", text: t.year + " · " + t.genres.join(", ") }),
        el("p", { text: t.synopsis }),
        el("h2", { text: "Серии" }),
        list
      ])
    ]));
  }

  // ---- episode page -------------------------------------------------------

  function renderEpisode(t, n) {
    document.title = t.title + ", серия " + n + " — Сорванта";
    var heading = el("h1", { text: t.title + " — серия " + n });
    var playBtn = el("button", { "class": "button primary", id: "play", text: "▶ Смотреть" });
    var stopBtn = el("button", { "class": "button", id: "stop", text: "■ Стоп" });
    var dubSel = el("select", { id: "dub", title: "Озвучка", disabled: "" });
    var subSel = el("select", { id: "subs", title: "Субтитры", disabled: "" });
    var menuBtn = el("button", { "class": "button", id: "more", "aria-haspopup": "true", text: "Ещё ▾" });
    var menu = el("div", { "class": "menu", id: "more-menu", hidden: "" }, [
      el("a", { href: "/title/" + t.id, "data-link": "", text: "Все серии тайтла" }),
      el("a", { href: "/", "data-link": "", text: "Каталог" }),
      el("a", { href: "/api/desktop/latest?platform=linux&arch=x64", text: "Версия приложения" }),
      el("button", { type: "button", id: "copy-link", text: "Скопировать ссылку" })
    ]);
    var status = el("span", { "class": "status", id: "status", text: desk ? "" : "Плеер приложения недоступен в браузере" });
    var message = el("div", { "class": "player-message", id: "player-message" }, [
      el("div", { "class": "big-play", text: "▶" }),
      el("p", { text: desk ? "Нажмите «Смотреть»: видео пойдёт из торрента." : "Здесь был бы веб-плеер сайта." })
    ]);
    var box = el("div", { "class": "player", id: "player" }, [message]);
    box.style.background = "radial-gradient(circle at 30% 30%, hsl(" + t.hue + ",40%,22%), #07080b 70%)";

    var nav = el("div", { "class": "ep-nav" });
    t.episodes.forEach(function (k) {
      nav.appendChild(el("a", {
        href: "/title/" + t.id + "/episode/" + k, "data-link": "",
        "class": k === n ? "current" : "", text: String(k)
      }));
    });

    view.appendChild(el("p", { "class": "crumbs" }, [
      el("a", { href: "/", "data-link": "", text: "Каталог" }), document.createTextNode(" / "),
      el("a", { href: "/title/" + t.id, "data-link": "", text: t.title })
    ]));
    view.appendChild(heading);
    view.appendChild(el("div", { "class": "toolbar" }, [
      playBtn, stopBtn,
      el("label", {}, [document.createTextNode("Озвучка "), dubSel]),
      el("label", {}, [document.createTextNode("Субтитры "), subSel]),
      el("div", { "class": "dropdown" }, [menuBtn, menu]),
      badge(t.id, n)
    ]));
    view.appendChild(box);
    view.appendChild(el("div", { "class": "below" }, [status, el("span", { "class": "muted", text: "Серии:" }), nav]));

    page = { title: t, episode: n, box: box, menu: menu, status: status, message: message,
             dubSel: dubSel, subSel: subSel, heading: heading, frame: 0, observer: null };

    playBtn.addEventListener("click", play);
    stopBtn.addEventListener("click", function () { if (desk) desk.stop(); });
    dubSel.addEventListener("change", function () { if (desk) desk.setDub(dubSel.value); });
    subSel.addEventListener("change", function () { if (desk) desk.setSubtitle(Number(subSel.value)); });
    menuBtn.addEventListener("click", function (e) { e.stopPropagation(); toggleMenu(menu.hidden); });
    menu.querySelector("#copy-link").addEventListener("click", function () {
      if (navigator.clipboard) navigator.clipboard.writeText(location.href).catch(function () {});
      toggleMenu(false);
    });

    if ("ResizeObserver" in window) {
      page.observer = new ResizeObserver(scheduleReport);
      page.observer.observe(box);
    }
    reportBox();
    if (desk && (location.hash === "#autoplay" || tour)) desk.ready.then(play);
  }

  function leaveEpisodePage() {
    if (!page) return;
    if (page.observer) page.observer.disconnect();
    if (page.frame) cancelAnimationFrame(page.frame);
    page = null;
    // The box is gone: the application must not keep the video where it was.
    if (desk) desk.setVideoRect({ x: 0, y: 0, width: 0, height: 0, visible: false, dpr: window.devicePixelRatio });
  }

  function toggleMenu(open) {
    if (!page) return;
    page.menu.hidden = !open;
    reportBox();
  }
  document.addEventListener("click", function (e) {
    if (page && !page.menu.hidden && !page.menu.contains(e.target)) toggleMenu(false);
  });
  document.addEventListener("keydown", function (e) {
    if (e.key === "Escape" && page && !page.menu.hidden) toggleMenu(false);
  });

  // The player box in viewport CSS pixels, with the open dropdown as a hole
  // (a little larger than the menu so its shadow stays visible too).
  function reportBox() {
    if (!page || !desk) return;
    var r = page.box.getBoundingClientRect();
    var visible = r.width > 0 && r.height > 0 && r.bottom > 0 && r.right > 0 &&
                  r.top < window.innerHeight && r.left < window.innerWidth;
    var holes = [];
    if (!page.menu.hidden) {
      var m = page.menu.getBoundingClientRect();
      holes.push({ x: m.left - 4, y: m.top - 4, width: m.width + 8, height: m.height + 8 });
    }
    desk.setVideoRect({ x: r.left, y: r.top, width: r.width, height: r.height, visible: visible,
                        dpr: window.devicePixelRatio, holes: holes });
  }

  function scheduleReport() {
    if (!page || page.frame) return;
    page.frame = requestAnimationFrame(function () {
      if (!page) return;
      page.frame = 0;
      reportBox();
    });
  }
  window.addEventListener("scroll", scheduleReport, { passive: true });
  window.addEventListener("resize", scheduleReport);

  function setStatus(text) {
    if (page) page.status.textContent = text;
  }

  function showMessage(text, isError) {
    if (!page) return;
    page.message.hidden = false;
    page.message.className = "player-message" + (isError ? " error" : "");
    page.message.textContent = "";
    page.message.appendChild(el("p", { text: text }));
  }

  function play() {
    if (!page || !desk) return;
    var t = page.title;
    setStatus("Ищем источники…");
    showMessage("Подключаемся к раздаче…", false);
    reportBox();
    desk.play({ animeId: t.id, episode: page.episode, title: t.title,
                dub: page.dubSel.value || "", subtitle: "" }).then(function (r) {
      if (!page) return;
      if (r && r.ok) setStatus("Источников: " + r.sources + ". Загружаем видео…");
      else if (r && r.reason !== "superseded") setStatus("Не удалось: " + reasonText(r.reason));
    });
  }

  function fillSelect(sel, items, valueOf, emptyLabel) {
    sel.textContent = "";
    if (emptyLabel !== null) sel.appendChild(el("option", { value: "0", text: emptyLabel }));
    items.forEach(function (it) {
      var o = el("option", { value: String(valueOf(it)), text: it.label || "—" });
      if (it.active) o.selected = true;
      sel.appendChild(o);
    });
    if (items.length) sel.removeAttribute("disabled");
    else sel.setAttribute("disabled", "");
  }

  function clearPickers() {
    if (!page) return;
    fillSelect(page.dubSel, [], null, null);
    fillSelect(page.subSel, [], null, null);
  }

  function isOurs(ev) {
    return page && Number(ev.animeId) === page.title.id;
  }

  function connectEvents() {
    desk.on("started", function (ev) {
      if (!isOurs(ev)) return;
      page.message.hidden = true;
      setStatus("Смотрим · старт за " + Number(ev.seconds || 0).toFixed(1) + " с");
      trace("started " + ev.animeId + "/" + ev.episode + " in " + ev.seconds + " s");
      if (tour) {
        setTimeout(function () {
          toggleMenu(true);
          trace("tour dropdown open");
          setTimeout(function () { toggleMenu(false); trace("tour dropdown closed"); }, 5000);
        }, 6000);
      }
    });
    desk.on("tracks", function (ev) {
      if (!isOurs(ev)) return;
      fillSelect(page.dubSel, ev.dubs || [], function (d) { return d.label; }, null);
      var subs = ev.subtitles || [];
      fillSelect(page.subSel, subs, function (s) { return s.id; }, "Выключены");
      if (subs.length && !subs.some(function (s) { return s.active; })) page.subSel.value = "0";
    });
    desk.on("episode", function (ev) {
      if (!page || Number(ev.animeId) !== page.title.id) return;
      // Same title, another episode: the route stays on this title, so playback goes on.
      history.pushState(null, "", "/title/" + ev.animeId + "/episode/" + ev.episode);
      page.episode = Number(ev.episode);
      page.heading.textContent = page.title.title + " — серия " + ev.episode;
    });
    desk.on("closed", function (ev) {
      clearPickers();
      if (!page) return;
      setStatus("Плеер закрыт" + (ev.reason === "user" ? "" : " (" + ev.reason + ")"));
      showMessage("Видео остановлено.", false);
    });
    desk.on("fallback", function (ev) {
      clearPickers();
      trace("fallback " + ev.animeId + "/" + ev.episode + " " + ev.reason);
      if (!page) return;
      setStatus("Плеер приложения недоступен");
      showMessage("Не получилось включить плеер приложения: " + reasonText(ev.reason) +
                  ". Здесь сайт показал бы свой веб-плеер.", true);
    });
  }

  function showAppState() {
    var s = document.getElementById("app-state");
    if (!desk) { s.textContent = "браузер"; return; }
    s.textContent = "Sorvanta Desktop " + desk.version;
    s.className = "pill ok";
  }

  showAppState();
  if (desk) connectEvents();
  fetch("/catalogue.json").then(function (r) { return r.json(); }).then(function (c) {
    catalogue = c;
    render();
  }).catch(function () {
    view.textContent = "Каталог не загрузился.";
  });
})();
