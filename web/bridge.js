// Page side of the desktop bridge. Injected at document creation inside a
// wrapper that defines __SVD_VERSION__, __SVD_CFG__ and the QWebChannel client;
// it also runs (as a no-op API) without them.
(function () {
    "use strict";

    var VERSION = typeof __SVD_VERSION__ !== "undefined" && __SVD_VERSION__ !== null ? String(__SVD_VERSION__) : "0";
    var CFG = typeof __SVD_CFG__ === "object" && __SVD_CFG__ !== null ? __SVD_CFG__ : {};

    // ---- Page tweaks: run in every document, also on a repeated injection ----

    var STYLE_ORDER = ["anim", "backdrop", "filter", "hero", "heropan"];
    var STYLES = {
        anim: "*,*::before,*::after{animation-duration:1ms!important;animation-delay:0s!important;" +
            "animation-iteration-count:1!important;transition-duration:1ms!important;" +
            "transition-delay:0s!important;scroll-behavior:auto!important}",
        backdrop: "*,*::before,*::after{backdrop-filter:none!important;-webkit-backdrop-filter:none!important}",
        filter: "[class*='blur-']:not([class*='backdrop-blur']),[style*='blur(']{filter:none!important}",
        hero: ".hero-backdrop{display:none!important}",
        heropan: ".hero-backdrop img{animation:none!important;transform:scale(1.1)!important;will-change:auto!important}"
    };
    var MAX_REMEMBERED = 2000;
    var KEEP_REMEMBERED = 1000;

    // One state per document, shared by repeated injections so listeners are
    // installed once and paused animations stay known.
    var lite = window.__svdLiteState;
    if (!lite) {
        lite = { tweaks: {}, styleText: null, paused: [], sweepQueued: false, listeners: false, waitingHead: false };
        try {
            Object.defineProperty(window, "__svdLiteState", { value: lite, enumerable: false });
        } catch (e) {
            /* a page-defined property of that name: keep the state private */
        }
    }

    function isDecorativeVideo(v) {
        return v && v.tagName === "VIDEO" && v.muted && !v.controls;
    }

    function pauseDecorativeVideos() {
        var vids = document.getElementsByTagName("video");
        for (var i = 0; i < vids.length; i++) {
            if (isDecorativeVideo(vids[i]) && !vids[i].paused) {
                try { vids[i].pause(); } catch (e) { /* ignore */ }
            }
        }
    }

    function sweepInfinite() {
        lite.sweepQueued = false;
        if (!lite.tweaks.infinite || typeof document.getAnimations !== "function")
            return;
        var anims = document.getAnimations();
        for (var i = 0; i < anims.length; i++) {
            var a = anims[i];
            try {
                if (a.playState !== "running" || !a.effect)
                    continue;
                if (a.effect.getComputedTiming().iterations !== Infinity)
                    continue;
                a.pause();
                lite.paused.push(a);
            } catch (e) { /* ignore */ }
        }
        if (lite.paused.length > MAX_REMEMBERED)
            lite.paused = lite.paused.slice(lite.paused.length - KEEP_REMEMBERED);
    }

    function resumeInfinite() {
        var list = lite.paused;
        lite.paused = [];
        for (var i = 0; i < list.length; i++) {
            try { list[i].play(); } catch (e) { /* ignore */ }
        }
    }

    function installListeners() {
        if (lite.listeners)
            return;
        lite.listeners = true;
        document.addEventListener("play", function (ev) {
            if (lite.tweaks.video && isDecorativeVideo(ev.target)) {
                try { ev.target.pause(); } catch (e) { /* ignore */ }
            }
        }, true);
        document.addEventListener("animationstart", function () {
            if (lite.tweaks.infinite && !lite.sweepQueued) {
                lite.sweepQueued = true;
                setTimeout(sweepInfinite, 0);
            }
        }, true);
    }

    function applyStyle() {
        var root = document.documentElement;
        var host = document.head || root;
        if (!host) {
            if (!lite.waitingHead && typeof MutationObserver === "function") {
                lite.waitingHead = true;
                var mo = new MutationObserver(function () {
                    if (document.head) {
                        mo.disconnect();
                        lite.waitingHead = false;
                        applyTweaks(lite.tweaks);
                    }
                });
                mo.observe(document, { childList: true, subtree: true });
            }
            return;
        }
        var text = "";
        for (var i = 0; i < STYLE_ORDER.length; i++) {
            if (lite.tweaks[STYLE_ORDER[i]])
                text += STYLES[STYLE_ORDER[i]] + "\n";
        }
        var el = document.getElementById("svd-lite-style");
        if (!el && text) {
            el = document.createElement("style");
            el.id = "svd-lite-style";
            host.appendChild(el);
        }
        if (el && el.textContent !== text)
            el.textContent = text;
        if (root) {
            if (text || lite.tweaks.video)
                root.setAttribute("data-svd-lite", "");
            else
                root.removeAttribute("data-svd-lite");
        }
    }

    function applyTweaks(tweaks) {
        try {
            var wasInfinite = !!lite.tweaks.infinite;
            var next = {};
            if (tweaks && typeof tweaks === "object") {
                for (var k in tweaks) {
                    if (Object.prototype.hasOwnProperty.call(tweaks, k) && tweaks[k])
                        next[k] = true;
                }
            }
            lite.tweaks = next;
            installListeners();
            applyStyle();
            if (next.video)
                pauseDecorativeVideos();
            if (next.infinite)
                sweepInfinite();
            else if (wasInfinite)
                resumeInfinite();
        } catch (e) {
            console.error("sorvantaDesktop: page tweaks failed: " + e);
        }
    }

    applyTweaks(CFG.tweaks);

    // ---- The page API: once per document ----

    if (window.sorvantaDesktop)
        return;

    var CONNECT_RETRIES = 200;
    var CONNECT_DELAY_MS = 25;
    var MAX_HOLES = 32;

    var native = null;
    var nextReqId = 1;
    var pending = {};
    var handlers = {};
    var statsWanted = false; // this document asked for `stats` events
    var resolveReady;
    var ready = new Promise(function (resolve) { resolveReady = resolve; });

    function newId() {
        return nextReqId++;
    }

    // A call waits for the channel, sends with its own id and resolves with the reply.
    function call(method, args) {
        var id = newId();
        return ready.then(function () {
            return new Promise(function (resolve) {
                pending[id] = resolve;
                native[method].apply(native, args.concat([id]));
            });
        });
    }

    // Fire-and-forget: takes an id too, the native side never answers.
    function send(method, args) {
        var id = newId();
        ready.then(function () {
            native[method].apply(native, args.concat([id]));
        }).catch(function (e) {
            console.error("sorvantaDesktop: " + method + " failed: " + e);
        });
    }

    function onReply(reqId, result) {
        var resolve = pending[reqId];
        if (!resolve)
            return;
        delete pending[reqId];
        resolve(result);
    }

    function onPlayerEvent(ev) {
        var type = ev && ev.type !== undefined ? String(ev.type) : "";
        // The native side sends statistics to the page shown now; a document that did not
        // ask for them (a later page of the same site) ignores them.
        if (type === "stats" && !statsWanted)
            return;
        var list = (handlers[type] || []).slice();
        for (var i = 0; i < list.length; i++) {
            try {
                list[i](ev);
            } catch (e) {
                console.error("sorvantaDesktop: handler for '" + type + "' threw: " + e);
            }
        }
        window.dispatchEvent(new CustomEvent("sorvantadesktop:" + type, { detail: ev }));
    }

    function onConfigChanged(cfg) {
        if (cfg && typeof cfg === "object" && "tweaks" in cfg)
            applyTweaks(cfg.tweaks);
    }

    function num(v) {
        var n = Number(v);
        return isFinite(n) ? n : 0;
    }

    function str(v) {
        return v === undefined || v === null ? "" : String(v);
    }

    function cleanRect(r) {
        r = r || {};
        var dpr = Number(r.dpr);
        var out = {
            x: num(r.x),
            y: num(r.y),
            width: num(r.width),
            height: num(r.height),
            visible: r.visible !== false,
            dpr: isFinite(dpr) && dpr ? dpr : 1,
            holes: []
        };
        if (Array.isArray(r.holes)) {
            for (var i = 0; i < r.holes.length && out.holes.length < MAX_HOLES; i++) {
                var h = r.holes[i] || {};
                var hole = { x: num(h.x), y: num(h.y), width: num(h.width), height: num(h.height) };
                if (hole.width > 0 && hole.height > 0)
                    out.holes.push(hole);
            }
        }
        return out;
    }

    // ---- GPU probe ----

    function probeWebGl(info) {
        try {
            var canvas = document.createElement("canvas");
            var gl = canvas.getContext("webgl") || canvas.getContext("experimental-webgl");
            if (!gl)
                return;
            info.webgl = true;
            var dbg = gl.getExtension("WEBGL_debug_renderer_info");
            info.renderer = String(gl.getParameter(dbg ? dbg.UNMASKED_RENDERER_WEBGL : gl.RENDERER) || "");
            info.vendor = String(gl.getParameter(dbg ? dbg.UNMASKED_VENDOR_WEBGL : gl.VENDOR) || "");
            var lose = gl.getExtension("WEBGL_lose_context");
            if (lose)
                lose.loseContext();
        } catch (e) {
            info.webglError = String(e);
        }
    }

    function measureFrames(done) {
        var intervals = [];
        var first = -1;
        var last = -1;
        var finished = false;
        function finish() {
            if (finished)
                return;
            finished = true;
            done(intervals);
        }
        function frame(t) {
            if (finished)
                return;
            if (first < 0) {
                first = t;
            } else {
                intervals.push(t - last);
            }
            last = t;
            if (t - first >= 2000)
                finish();
            else
                requestAnimationFrame(frame);
        }
        requestAnimationFrame(frame);
        // A hidden page gets no frames: report what there is rather than nothing.
        setTimeout(finish, 4000);
    }

    function runProbe(phase) {
        var info = { phase: phase, url: String(location.origin), dpr: 1, cores: 0, reducedMotion: false,
                     visibility: String(document.visibilityState), webgl: false };
        try {
            info.dpr = window.devicePixelRatio || 1;
            info.cores = navigator.hardwareConcurrency || 0;
            info.reducedMotion = !!(window.matchMedia && window.matchMedia("(prefers-reduced-motion: reduce)").matches);
        } catch (e) { /* keep the defaults */ }
        probeWebGl(info);
        measureFrames(function (intervals) {
            try {
                intervals.sort(function (a, b) { return a - b; });
                var count = intervals.length;
                var sum = 0;
                var longFrames = 0;
                for (var i = 0; i < count; i++) {
                    sum += intervals[i];
                    if (intervals[i] > 50)
                        longFrames++;
                }
                info.frames = count;
                info.fps = count && sum > 0 ? 1000 * count / sum : 0;
                info.p95ms = count ? intervals[Math.min(count - 1, Math.floor(count * 0.95))] : 0;
                info.longFrames = longFrames;
                info.visibility = String(document.visibilityState);
            } catch (e) {
                info.webglError = info.webglError || String(e);
            }
            send("reportClientInfo", [info]);
        });
    }

    // ---- Connection ----

    function connect(triesLeft) {
        if (window.qt && window.qt.webChannelTransport && typeof QWebChannel === "function") {
            new QWebChannel(window.qt.webChannelTransport, function (channel) {
                native = channel.objects.sorvantaDesktop;
                if (!native)
                    return;
                native.reply.connect(onReply);
                native.playerEvent.connect(onPlayerEvent);
                if (native.configChanged)
                    native.configChanged.connect(onConfigChanged);
                resolveReady(true);
                if (CFG.probe === true) {
                    setTimeout(function () { runProbe("load"); }, 1500);
                    setTimeout(function () { runProbe("settled"); }, 15000);
                }
                window.dispatchEvent(new CustomEvent("sorvantadesktop:ready", { detail: { version: VERSION } }));
            });
            return;
        }
        if (triesLeft > 0)
            setTimeout(function () { connect(triesLeft - 1); }, CONNECT_DELAY_MS);
    }

    var api = Object.freeze({
        version: VERSION,
        capabilities: Object.freeze(Array.isArray(CFG.capabilities) ? CFG.capabilities.slice() : []),
        ready: ready,
        availability: function (animeId, episode) {
            return call("isAvailable", [Number(animeId), Number(episode)]);
        },
        isAvailable: function (animeId, episode) {
            return call("isAvailable", [Number(animeId), Number(episode)]).then(function (r) {
                return !!(r && r.available === true);
            });
        },
        play: function (o) {
            o = o || {};
            return call("play", [{
                animeId: Number(o.animeId),
                episode: Number(o.episode || 1),
                title: str(o.title),
                dub: str(o.dub),
                subtitle: str(o.subtitle)
            }]);
        },
        getTracks: function () {
            return call("getTracks", []);
        },
        setDub: function (label) {
            send("setDub", [String(label || "")]);
        },
        setSubtitle: function (id) {
            var n = Number(id);
            send("setSubtitle", [isFinite(n) ? n : 0]);
        },
        setVideoRect: function (r) {
            send("setVideoRect", [cleanRect(r)]);
        },
        openExternal: function (url) {
            return call("openExternal", [String(url || "")]);
        },
        stop: function () {
            send("stop", []);
        },
        watchStats: function (on) {
            statsWanted = on !== false;
            return call("watchStats", [statsWanted]);
        },
        on: function (type, handler) {
            if (typeof handler !== "function")
                return;
            type = String(type);
            (handlers[type] = handlers[type] || []).push(handler);
        }
    });

    try {
        Object.defineProperty(window, "sorvantaDesktop", { value: api, writable: false, configurable: false,
                                                          enumerable: true });
    } catch (e) {
        console.error("sorvantaDesktop: cannot define the page API: " + e);
        return;
    }
    connect(CONNECT_RETRIES);
})();
