// pelorin-demo-panel: four simulated operator panels served over RFB on 127.0.0.1, so the
// workstation can be tried and shown without equipment.
#include "demopanel.h"
#include "demopanelsetup.h"
#include "rfbclient.h"
#include "rfbserver.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    // The panels draw into images only; they need no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelorin-demo-panel"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "main", "Четыре демонстрационные панели оператора (RFB) на 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption basePort(QStringLiteral("base-port"),
        QCoreApplication::translate("main", "Порты панелей N … N + 3 (0 — любые свободные)."),
        QStringLiteral("N"), QStringLiteral("5901"));
    const QCommandLineOption seed(QStringLiteral("seed-settings"),
        QCoreApplication::translate("main",
            "Записать группу «Демо» и раскладку из четырёх ячеек в "
            "папку настроек (как XDG_CONFIG_HOME) для этих портов."),
        QStringLiteral("folder"));
    const QCommandLineOption stats(QStringLiteral("stats"),
        QCoreApplication::translate("main", "Каждые 10 с печатать объём отправленного."));
    const QCommandLineOption linkKbps(QStringLiteral("link-kbps"),
        QCoreApplication::translate("main",
            "Ограничить вывод каждого подключения к панели N кбит/с, как на медленном "
            "канале (0 — без ограничения)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption tlsOption(QStringLiteral("tls"),
        QCoreApplication::translate("main",
            "Только шифрованные подключения (VeNCrypt, TLS) с демонстрационным сертификатом; "
            "его отпечаток SHA-256 печатается после строк панелей."));
    parser.addOptions({ basePort, seed, stats, linkKbps, tlsOption });
    parser.process(app);

    bool ok = false;
    const int base = parser.value(basePort).toInt(&ok);
    const QList<DemoPanelSetup> setups = demoPanelSetups();
    if (!ok || base < 0 || (base > 0 && base + setups.size() - 1 > 65535)) {
        std::fprintf(stderr, "%s\n",
            qPrintable(QCoreApplication::translate("main", "Недопустимый порт: %1")
                           .arg(parser.value(basePort))));
        return 2;
    }

    const int kbps = parser.value(linkKbps).toInt(&ok);
    if (!ok || kbps < 0) {
        std::fprintf(stderr, "%s\n",
            qPrintable(QCoreApplication::translate("main", "Недопустимая скорость канала: %1")
                           .arg(parser.value(linkKbps))));
        return 2;
    }

    std::optional<RfbServerTls> tls;
    if (parser.isSet(tlsOption)) {
        tls = demoTls();
        if (tls->certificate.isNull() || tls->key.isNull()) {
            std::fprintf(stderr, "%s\n",
                qPrintable(QCoreApplication::translate(
                    "main", "TLS недоступен: нет сертификата или библиотеки TLS")));
            return 1;
        }
    }

    QList<RfbServer *> servers;
    QList<quint16> ports;
    for (int i = 0; i < setups.size(); ++i) {
        const DemoPanelSetup &setup = setups.at(i);
        auto *panel = new DemoPanel(setup.name, setup.size, setup.otherSize, &app);
        auto *server = new RfbServer(panel, setup.password, setup.maxMinor, &app);
        server->setLinkKbps(kbps);
        server->setTls(tls); // offers at least the X509 subtype: the certificate is there
        const quint16 port = base == 0 ? 0 : quint16(base + i);
        if (!server->listen(QHostAddress::LocalHost, port)) {
            std::fprintf(stderr, "%s\n",
                qPrintable(
                    QCoreApplication::translate("main", "Панель «%1»: порт %2 недоступен: %3")
                        .arg(setup.name, QString::number(port), server->errorString())));
            return 1;
        }
        panel->warmUp(setup.running);
        panel->setAnimated(true);
        servers.append(server);
        ports.append(server->serverPort());
    }

    const SeedResult seeded = parser.isSet(seed)
        ? seedDemoSettings(parser.value(seed), setups, ports)
        : SeedResult::Written;
    if (seeded == SeedResult::Refused) {
        std::fprintf(stderr, "%s\n",
            qPrintable(QCoreApplication::translate("main",
                "В папке настроек %1 уже есть адресная книга, записанная не демонстрационными "
                "панелями; она не будет заменена. Укажите отдельную папку.")
                           .arg(parser.value(seed))));
        return 2;
    }
    if (seeded == SeedResult::Failed) {
        std::fprintf(stderr, "%s\n",
            qPrintable(QCoreApplication::translate("main", "Не удалось записать настройки в %1")
                           .arg(parser.value(seed))));
        return 1;
    }
    for (int i = 0; i < setups.size(); ++i)
        std::printf("%s\n", qPrintable(demoPanelLine(setups.at(i), ports.at(i), tls.has_value())));
    // After the panels' lines, which scripts read first; the operator compares it with the one
    // the workstation shows.
    if (tls)
        std::printf("%s\n",
            qPrintable(QCoreApplication::translate("main", "Сертификат панелей: SHA-256 %1")
                           .arg(RfbClient::groupedFingerprint(
                               tls->certificate.digest(QCryptographicHash::Sha256)))));
    std::fflush(stdout);

    QTimer statsTimer;
    if (parser.isSet(stats)) {
        QObject::connect(&statsTimer, &QTimer::timeout, &app, [&servers, &setups]() {
            for (int i = 0; i < servers.size(); ++i) {
                const RfbServerStats &s = servers.at(i)->stats();
                std::fprintf(stderr, "%s\n",
                    qPrintable(QStringLiteral("%1: %2 updates, %3 rectangles (%4 "
                                              "CopyRect), %5 pixels, %6 bytes")
                                   .arg(setups.at(i).name, QString::number(s.updates),
                                       QString::number(s.rectangles), QString::number(s.copyRects),
                                       QString::number(s.pixels), QString::number(s.bytes))));
            }
        });
        statsTimer.start(10000);
    }
    return app.exec();
}
