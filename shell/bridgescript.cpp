#include "shell/bridgescript.h"

#include "base/log.h"
#include "web/webresources.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

namespace svd {

namespace {

QMutex gScriptMutex;
QString gChannelJs;
QString gBridgeJs;

} // namespace

QString bridgeInjectionScript(const QString &version, const QVariantMap &cfg)
{
    QString channelJs;
    QString bridgeJs;
    {
        QMutexLocker lock(&gScriptMutex);
        if (gChannelJs.isEmpty()) {
            gChannelJs = readResourceText(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
            gBridgeJs = readResourceText(QLatin1String(kBridgeScriptResource));
        }
        channelJs = gChannelJs;
        bridgeJs = gBridgeJs;
    }
    if (channelJs.isEmpty() || bridgeJs.isEmpty())
        logLine(QStringLiteral("bridge: injection script incomplete (qwebchannel.js / bridge.js missing)"));

    const QString json =
        QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(cfg)).toJson(QJsonDocument::Compact));
    const QString quotedVersion =
        QString::fromUtf8(QJsonDocument(QJsonArray{version}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    return QStringLiteral("(function(){\"use strict\";var __SVD_VERSION__=%1;var __SVD_CFG__=%2;var module=undefined;\n"
                          "%3\n%4\n})();")
        .arg(quotedVersion, json, channelJs, bridgeJs);
}

void installBridgeScriptSource(QWebEnginePage *page, const QString &source)
{
    QWebEngineScriptCollection &scripts = page->scripts();
    for (const QWebEngineScript &old : scripts.find(QLatin1String(kBridgeScriptName)))
        scripts.remove(old);
    QWebEngineScript script;
    script.setName(QLatin1String(kBridgeScriptName));
    script.setSourceCode(source);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    scripts.insert(script);
}

} // namespace svd
