// The address book exchange file: limits, the checks in their order, the
// row rules and a round trip through build and parse.
#include "exchangefile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QtTest>

namespace {

const QString kBadVersion = QStringLiteral("Ожидается адресная книга Пелорин версии 2.");
const QString kTooLarge = QStringLiteral("Файл слишком большой (максимум 2 МБ).");
const QString kTooMany = QStringLiteral("В одном файле допускается до 1000 панелей.");
const QString kBadPort = QStringLiteral("Порт должен быть от 1 до 65535.");

QString badRow(int row)
{
    return QStringLiteral("Некорректный адрес, порт или слишком длинные поля в строке %1.")
            .arg(row);
}

// A file whose "panels" member is `panels`, written as given (not through Qt,
// so numbers like 5900.5 or 2.0 keep their spelling).
QByteArray file(const QByteArray &panels, const QByteArray &version = "2",
                const QByteArray &format = "\"pelorin-addressbook\"")
{
    return "{\"format\":" + format + ",\"version\":" + version + ",\"panels\":" + panels + "}";
}

QByteArray panels(int count, const QByteArray &panel = "{\"host\":\"10.0.0.1\",\"port\":5900}")
{
    QByteArray out = "[";
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            out += ',';
        out += panel;
    }
    return out + "]";
}

} // namespace

class TestExchangeFile : public QObject
{
    Q_OBJECT

private slots:
    void documentChecks_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::addColumn<int>("count");

        const QByteArray one = panels(1);
        QTest::newRow("version 2") << file(one) << QString() << 1;
        QTest::newRow("version 2.0") << file(one, "2.0") << QString() << 1;
        QTest::newRow("version 2e0") << file(one, "2e0") << QString() << 1;
        QTest::newRow("version as string") << file(one, "\"2\"") << kBadVersion << 0;
        QTest::newRow("version 3") << file(one, "3") << kBadVersion << 0;
        QTest::newRow("version 1") << file(one, "1") << kBadVersion << 0;
        QTest::newRow("version 2.5") << file(one, "2.5") << kBadVersion << 0;
        QTest::newRow("version null") << file(one, "null") << kBadVersion << 0;
        QTest::newRow("format in capitals")
                << file(one, "2", "\"PELORIN-ADDRESSBOOK\"") << kBadVersion << 0;
        QTest::newRow("format with a space")
                << file(one, "2", "\"pelorin-addressbook \"") << kBadVersion << 0;
        QTest::newRow("format not a string") << file(one, "2", "1") << kBadVersion << 0;
        QTest::newRow("no format")
                << QByteArray("{\"version\":2,\"panels\":[]}") << kBadVersion << 0;
        QTest::newRow("no panels")
                << QByteArray("{\"format\":\"pelorin-addressbook\",\"version\":2}") << kBadVersion
                << 0;
        QTest::newRow("panels an object") << file("{}") << kBadVersion << 0;
        QTest::newRow("top level an array")
                << QByteArray("[") + file(one) + "]" << kBadVersion << 0;
        QTest::newRow("not JSON") << QByteArray("format=pelorin-addressbook") << kBadVersion << 0;
        QTest::newRow("cut short") << file(one).chopped(1) << kBadVersion << 0;
        QTest::newRow("empty file") << QByteArray() << kBadVersion << 0;
        QTest::newRow("other member order and layout")
                << QByteArray("\n  {\"panels\" : [ {\"port\":5900, \"host\":\"h\"} ],\r\n"
                              "\t\"version\" : 2, \"format\":\"pelorin-addressbook\", \"x\": 1}")
                << QString() << 1;
        QTest::newRow("empty panels") << file("[]") << QString() << 0;
        QTest::newRow("1000 panels") << file(panels(1000)) << QString() << 1000;
        QTest::newRow("1001 panels") << file(panels(1001)) << kTooMany << 0;
        // The count is checked before any row is looked at.
        QTest::newRow("1001 bad panels") << file(panels(1001, "{\"host\":\"\"}")) << kTooMany << 0;
    }

    void documentChecks()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        QFETCH(int, count);
        const ExchangeFileResult result = parseExchangeFile(bytes);
        QCOMPARE(result.error, error);
        QCOMPARE(result.ok, error.isEmpty());
        QCOMPARE(result.panels.size(), count);
    }

    void sizeLimit_data()
    {
        QTest::addColumn<int>("extra"); // bytes past the 2 MiB limit
        QTest::addColumn<bool>("valid"); // whether the content is a good file
        QTest::addColumn<QString>("error");
        QTest::newRow("exactly 2 MiB") << 0 << true << QString();
        QTest::newRow("one byte more") << 1 << true << kTooLarge;
        QTest::newRow("one byte more and not JSON") << 1 << false << kTooLarge;
    }

    void sizeLimit()
    {
        QFETCH(int, extra);
        QFETCH(bool, valid);
        QFETCH(QString, error);
        QByteArray bytes = valid ? file(panels(3)) : QByteArray("nonsense");
        // Trailing white space is valid JSON; it pads the file to the size wanted.
        bytes += QByteArray(kExchangeFileMaxBytes + extra - bytes.size(), ' ');
        QCOMPARE(bytes.size(), 2097152 + extra);
        const ExchangeFileResult result = parseExchangeFile(bytes);
        QCOMPARE(result.error, error);
        QCOMPARE(result.ok, error.isEmpty());
        if (result.ok)
            QCOMPARE(result.panels.size(), 3);
    }

    void rows_data()
    {
        QTest::addColumn<QByteArray>("panel");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");

        const QString h = QStringLiteral("10.0.0.9");
        auto accepted = [](const char *tag, const QByteArray &panel, const QString &name,
                           const QString &host, int port) {
            QTest::newRow(tag) << panel << QString() << name << host << port;
        };
        auto refused = [](const char *tag, const QByteArray &panel, const QString &error) {
            QTest::newRow(tag) << panel << error << QString() << QString() << 0;
        };

        accepted("plain", "{\"name\":\"Пресс\",\"host\":\"10.0.0.9\",\"port\":5901}", "Пресс", h,
                 5901);
        accepted("port 1", "{\"host\":\"10.0.0.9\",\"port\":1}", h, h, 1);
        accepted("port 65535", "{\"host\":\"10.0.0.9\",\"port\":65535}", h, h, 65535);
        accepted("port 5901.0", "{\"host\":\"10.0.0.9\",\"port\":5901.0}", h, h, 5901);
        refused("port 5900.5", "{\"host\":\"10.0.0.9\",\"port\":5900.5}", badRow(1));
        refused("port as string", "{\"host\":\"10.0.0.9\",\"port\":\"5900\"}", kBadPort);
        refused("port missing", "{\"host\":\"10.0.0.9\"}", kBadPort);
        refused("port null", "{\"host\":\"10.0.0.9\",\"port\":null}", kBadPort);
        refused("port 0", "{\"host\":\"10.0.0.9\",\"port\":0}", kBadPort);
        refused("port 0.5", "{\"host\":\"10.0.0.9\",\"port\":0.5}", kBadPort);
        refused("port 65536", "{\"host\":\"10.0.0.9\",\"port\":65536}", kBadPort);
        refused("port 65535.5", "{\"host\":\"10.0.0.9\",\"port\":65535.5}", kBadPort);
        // The port is looked at before the host.
        refused("element not an object", "7", kBadPort);
        refused("empty host, bad port", "{\"host\":\"\",\"port\":0}", kBadPort);

        refused("empty host", "{\"host\":\"\",\"port\":5900}", badRow(1));
        refused("host only spaces", "{\"host\":\"  \\t \",\"port\":5900}", badRow(1));
        refused("host not a string", "{\"host\":17,\"port\":5900}", badRow(1));
        refused("host with a space", "{\"host\":\"10.0.0.9 x\",\"port\":5900}", badRow(1));
        refused("host with a tab", "{\"host\":\"a\\tb\",\"port\":5900}", badRow(1));
        refused("host with a slash", "{\"host\":\"http://panel\",\"port\":5900}", badRow(1));
        refused("host with a backslash", "{\"host\":\"panel\\\\x\",\"port\":5900}", badRow(1));
        const QString host255(255, QLatin1Char('h'));
        accepted("host of 255", "{\"host\":\"" + host255.toLatin1() + "\",\"port\":5900}", host255,
                 host255, 5900);
        refused("host of 256", "{\"host\":\"" + host255.toLatin1() + "h\",\"port\":5900}",
                badRow(1));
        accepted("host trimmed", "{\"host\":\"  10.0.0.9\\n\",\"port\":5900}", h, h, 5900);
        accepted("brackets kept", "{\"host\":\"[fe80::1]\",\"port\":5900}", "[fe80::1]",
                 "[fe80::1]", 5900);

        const QString name200(200, QChar(0x0416));
        accepted("name of 200",
                 "{\"name\":\"" + name200.toUtf8() + "\",\"host\":\"10.0.0.9\",\"port\":5900}",
                 name200, h, 5900);
        refused("name of 201",
                "{\"name\":\"" + name200.toUtf8() + "x\",\"host\":\"10.0.0.9\",\"port\":5900}",
                badRow(1));
        accepted("name of 200 after trimming",
                 "{\"name\":\"  " + name200.toUtf8() + "  \",\"host\":\"10.0.0.9\",\"port\":5900}",
                 name200, h, 5900);
        accepted("empty name becomes host", "{\"name\":\"\",\"host\":\"10.0.0.9\",\"port\":5900}",
                 h, h, 5900);
        accepted("blank name becomes host",
                 "{\"name\":\"   \",\"host\":\"10.0.0.9\",\"port\":5900}", h, h, 5900);
        refused("group of 201",
                "{\"group\":\"" + QByteArray(201, 'g') + "\",\"host\":\"10.0.0.9\",\"port\":5900}",
                badRow(1));
        refused("group of 201 with spaces",
                "{\"group\":\" " + QByteArray(199, 'g')
                        + " \",\"host\":\"10.0.0.9\",\"port\":5900}",
                badRow(1));
        accepted("notes of 10000",
                 "{\"notes\":\"" + QByteArray(10000, 'n')
                         + "\",\"host\":\"10.0.0.9\",\"port\":5900}",
                 h, h, 5900);
        refused("notes of 10001",
                "{\"notes\":\"" + QByteArray(10001, 'n')
                        + "\",\"host\":\"10.0.0.9\",\"port\":5900}",
                badRow(1));
    }

    void rows()
    {
        QFETCH(QByteArray, panel);
        QFETCH(QString, error);
        QFETCH(QString, name);
        QFETCH(QString, host);
        QFETCH(int, port);
        const ExchangeFileResult result = parseExchangeFile(file("[" + panel + "]"));
        QCOMPARE(result.error, error);
        QCOMPARE(result.ok, error.isEmpty());
        if (!result.ok) {
            QVERIFY(result.panels.isEmpty());
            return;
        }
        QCOMPARE(result.panels.size(), 1);
        QCOMPARE(result.panels.at(0).name, name);
        QCOMPARE(result.panels.at(0).host, host);
        QCOMPARE(result.panels.at(0).port, port);
    }

    void badRowNumberIsTheFirstBadOne_data()
    {
        QTest::addColumn<QByteArrayList>("rows");
        QTest::addColumn<QString>("error");
        const QByteArray good = "{\"host\":\"h\",\"port\":5900}";
        const QByteArray noHost = "{\"host\":\"\",\"port\":5900}";
        const QByteArray noPort = "{\"host\":\"h\"}";
        QTest::newRow("third") << QByteArrayList{good, good, noHost} << badRow(3);
        QTest::newRow("second before third") << QByteArrayList{good, noHost, noHost} << badRow(2);
        QTest::newRow("port before a later bad row")
                << QByteArrayList{good, noPort, noHost} << kBadPort;
        QTest::newRow("bad row before a later port")
                << QByteArrayList{good, noHost, noPort} << badRow(2);
        QByteArrayList many(999, good);
        many.append(noHost);
        QTest::newRow("row 1000") << many << badRow(1000);
    }

    void badRowNumberIsTheFirstBadOne()
    {
        QFETCH(QByteArrayList, rows);
        QFETCH(QString, error);
        const ExchangeFileResult result = parseExchangeFile(file("[" + rows.join(',') + "]"));
        QVERIFY(!result.ok);
        QCOMPARE(result.error, error);
        QVERIFY(result.panels.isEmpty());
    }

    // The encryption members are read fail-safe: a row that asks for encryption in a way
    // we do not know, or whose pin is not text, is a bad row; a malformed pin text is kept.
    void encryptionMembers_data()
    {
        QTest::addColumn<QByteArray>("members"); // added to a good row
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::addColumn<int>("encryption"); // PanelProfile::Encryption when accepted
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("pin");
        const int off = int(PanelProfile::Encryption::Off);
        const int preferred = int(PanelProfile::Encryption::Preferred);
        const int required = int(PanelProfile::Encryption::Required);
        const QString pin(64, QLatin1Char('C'));
        const QByteArray u200 = QString(200, QChar(0x0443)).toUtf8();
        // clang-format off
        QTest::newRow("none") << QByteArray() << QString() << off << "" << "";
        QTest::newRow("preferred") << QByteArray(",\"encryption\":\"preferred\"") << QString() << preferred << "" << "";
        QTest::newRow("required, user, pin")
            << ",\"encryption\":\"required\",\"userName\":\" ivan \",\"certificateSha256\":\"" + pin.toLatin1() + "\""
            << QString() << required << " ivan " << pin;
        QTest::newRow("encryption empty") << QByteArray(",\"encryption\":\"\"") << QString() << off << "" << "";
        QTest::newRow("encryption null") << QByteArray(",\"encryption\":null") << QString() << off << "" << "";
        QTest::newRow("encryption misspelt") << QByteArray(",\"encryption\":\"requierd\"") << badRow(2) << 0 << "" << "";
        QTest::newRow("encryption in capitals") << QByteArray(",\"encryption\":\"Required\"") << badRow(2) << 0 << "" << "";
        QTest::newRow("encryption \"off\"") << QByteArray(",\"encryption\":\"off\"") << badRow(2) << 0 << "" << "";
        QTest::newRow("encryption true") << QByteArray(",\"encryption\":true") << badRow(2) << 0 << "" << "";
        QTest::newRow("user name of 200") << ",\"userName\":\"" + u200 + "\"" << QString() << off << QString::fromUtf8(u200) << "";
        QTest::newRow("user name of 201") << ",\"userName\":\"" + u200 + "x\"" << badRow(2) << 0 << "" << "";
        QTest::newRow("user name not a string") << QByteArray(",\"userName\":5") << QString() << off << "" << "";
        QTest::newRow("malformed pin kept") << QByteArray(",\"certificateSha256\":\"AB:CD\"") << QString() << off << "" << "AB:CD";
        QTest::newRow("pin a number") << QByteArray(",\"certificateSha256\":42") << badRow(2) << 0 << "" << "";
        QTest::newRow("pin null") << QByteArray(",\"certificateSha256\":null") << QString() << off << "" << "";
        // clang-format on
    }

    void encryptionMembers()
    {
        QFETCH(QByteArray, members);
        QFETCH(QString, error);
        const ExchangeFileResult result = parseExchangeFile(
                file("[{\"host\":\"h\",\"port\":5900},{\"host\":\"h\",\"port\":5900" + members
                     + "}]"));
        QCOMPARE(result.error, error); // the good first row is not the bad one
        if (!result.ok)
            return;
        const PanelProfile &profile = result.panels.at(1);
        QTEST(int(profile.encryption), "encryption");
        QTEST(profile.userName, "userName");
        QTEST(profile.certificateSha256, "pin");
    }

    // What the file may not carry is not taken from it: fresh ids, no
    // password, remember off; flags only from real booleans.
    void importedRecordsAreNew()
    {
        const QByteArray bytes
            = file("[{\"host\":\"h\",\"port\":5900,\"id\":\"0b8f3f56-2a43-4b8e-9b7e-0c2d1b0c6a11\","
                   "\"password\":\"geheim\",\"remember\":true,\"viewOnly\":true,\"reconnect\":"
                   "\"true\",\"compression\":\"true\"},"
                   "{\"host\":\"h\",\"port\":5900,\"viewOnly\":1,\"reconnect\":true,"
                   "\"compression\":1,"
                   "\"group\":\"  Цех\",\"notes\":\" a\\nb \"}]");
        const ExchangeFileResult first = parseExchangeFile(bytes);
        const ExchangeFileResult second = parseExchangeFile(bytes);
        QVERIFY(first.ok && second.ok);
        QCOMPARE(first.panels.size(), 2);

        QSet<QString> ids;
        for (const AddressBook &book : {first.panels, second.panels}) {
            for (const PanelProfile &profile : book) {
                QCOMPARE(profile.id.size(), 36);
                QCOMPARE(profile.id, profile.id.toLower());
                QVERIFY(!profile.id.contains('{'));
                QVERIFY(profile.password.isEmpty());
                QVERIFY(!profile.remember);
                ids.insert(profile.id);
            }
        }
        QCOMPARE(ids.size(), 4);

        const PanelProfile &a = first.panels.at(0);
        QVERIFY(a.viewOnly);
        QVERIFY(!a.reconnect);
        QVERIFY(!a.compression);
        const PanelProfile &b = first.panels.at(1);
        QVERIFY(!b.viewOnly);
        QVERIFY(b.reconnect);
        QVERIFY(!b.compression);
        QCOMPARE(b.group, QStringLiteral("  Цех"));
        QCOMPARE(b.notes, QStringLiteral(" a\nb "));
    }

    void buildWritesIndentedFileWithoutSecrets()
    {
        PanelProfile p = PanelProfile::createNew();
        p.name = QStringLiteral("Пресс №3");
        p.host = QStringLiteral("10.0.0.5");
        p.port = 5901;
        p.group = QStringLiteral("Цех");
        p.notes = QStringLiteral("строка 1\nстрока 2");
        p.password = QStringLiteral("Zq7secr");
        p.remember = true;
        p.reconnect = true;

        const QByteArray bytes = buildExchangeFile({p});
        const QByteArray expected = "{\n"
                                    "    \"format\": \"pelorin-addressbook\",\n"
                                    "    \"panels\": [\n"
                                    "        {\n"
                                    "            \"group\": \"Цех\",\n"
                                    "            \"host\": \"10.0.0.5\",\n"
                                    "            \"name\": \"Пресс №3\",\n"
                                    "            \"notes\": \"строка 1\\nстрока 2\",\n"
                                    "            \"port\": 5901,\n"
                                    "            \"reconnect\": true,\n"
                                    "            \"viewOnly\": false\n"
                                    "        }\n"
                                    "    ],\n"
                                    "    \"version\": 2\n"
                                    "}\n";
        QCOMPARE(bytes, expected);
        QVERIFY(!bytes.contains("Zq7"));
        QVERIFY(!bytes.contains(p.id.toLatin1()));

        // The encryption members only when set, the version still 2.
        p.encryption = PanelProfile::Encryption::Preferred;
        p.userName = QStringLiteral("Иван");
        p.certificateSha256 = QStringLiteral("ab12");
        QCOMPARE(buildExchangeFile({p}),
                 QByteArray(expected)
                         .replace("{\n            \"group\"",
                                  "{\n            \"certificateSha256\": \"ab12\",\n"
                                  "            \"encryption\": \"preferred\",\n"
                                  "            \"group\"")
                         .replace("\"reconnect\": true,\n",
                                  "\"reconnect\": true,\n            \"userName\": \"Иван\",\n"));
    }

    void emptyBookGivesValidFile()
    {
        const QByteArray bytes = buildExchangeFile({});
        const QJsonObject top = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(top.value("panels").toArray().size(), 0);
        const ExchangeFileResult result = parseExchangeFile(bytes);
        QVERIFY(result.ok);
        QVERIFY(result.panels.isEmpty());
    }

    void roundTrip()
    {
        AddressBook book;
        for (int i = 0; i < 4; ++i) {
            PanelProfile p = PanelProfile::createNew();
            p.name = QStringLiteral("Панель «%1» \"кавычки\"").arg(i);
            p.host = i == 3 ? QStringLiteral("[fe80::%1]").arg(i)
                            : QStringLiteral("10.0.0.%1").arg(i);
            p.port = 5900 + i * 15000;
            p.group = i % 2 ? QStringLiteral("  Цех 2") : QString();
            p.notes = QStringLiteral("S/N %1\r\n\tконтакт: \\ оператор").arg(i);
            p.viewOnly = i & 1;
            p.reconnect = i & 2;
            p.compression = i == 2; // written only when set, read back as false when absent
            p.encryption = PanelProfile::Encryption(i % 3);
            p.userName = i == 1 ? QStringLiteral("оператор") : QString();
            p.certificateSha256 = i == 2 ? QString(64, QLatin1Char('f'))
                                         : i == 3 ? QStringLiteral("повреждён") : QString();
            p.remember = true;
            p.password = QStringLiteral("pw%1").arg(i);
            book.append(p);
        }
        // Imported without a name: the host of 255 characters stands in for it.
        PanelProfile unnamed = PanelProfile::createNew();
        unnamed.host = unnamed.name = QString(PanelProfile::maxHostLength, QLatin1Char('h'));
        book.append(unnamed);
        const ExchangeFileResult result = parseExchangeFile(buildExchangeFile(book));
        QVERIFY(result.ok);
        QCOMPARE(result.panels.size(), book.size());
        for (int i = 0; i < book.size(); ++i) {
            const PanelProfile &in = book.at(i);
            const PanelProfile &out = result.panels.at(i);
            QCOMPARE(out.name, in.name);
            QCOMPARE(out.host, in.host);
            QCOMPARE(out.port, in.port);
            QCOMPARE(out.group, in.group);
            QCOMPARE(out.notes, in.notes);
            QCOMPARE(out.viewOnly, in.viewOnly);
            QCOMPARE(out.reconnect, in.reconnect);
            QCOMPARE(out.compression, in.compression);
            QCOMPARE(out.encryption, in.encryption);
            QCOMPARE(out.userName, in.userName);
            QCOMPARE(out.certificateSha256, in.certificateSha256);
            QVERIFY(out.id != in.id);
            QVERIFY(out.password.isEmpty());
            QVERIFY(!out.remember);
        }
    }
};

QTEST_GUILESS_MAIN(TestExchangeFile)
#include "tst_exchangefile.moc"
