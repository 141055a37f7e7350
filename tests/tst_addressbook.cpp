// Address book records in the settings store: what loading keeps and drops,
// what saving writes, and the backup of a value that could not be read.
#include "addressbook.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(AddressBook)

namespace {

const QString kId1 = QStringLiteral("0b8f3f56-2a43-4b8e-9b7e-0c2d1b0c6a11");
const QString kId2 = QStringLiteral("5f2c9e0d-8d7b-4c55-a0a4-3f1e9b6d2c22");

PanelProfile record(const QString &id, const QString &host, int port = 5900,
                    const QString &name = QString())
{
    PanelProfile profile;
    profile.id = id;
    profile.host = host;
    profile.port = port;
    profile.name = name;
    return profile;
}

// The stored value for these entries, compact as the program writes it.
QByteArray entries(const QList<QJsonObject> &objects)
{
    QJsonArray array;
    for (const QJsonObject &object : objects)
        array.append(object);
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

// One stored entry with every member of goodRecord(), then `changes` applied
// and the `removed` members taken out.
QJsonObject goodEntry(const QVariantMap &changes = {}, const QStringList &removed = {})
{
    QJsonObject object{{"id", kId1},       {"name", "Пресс 3"},  {"host", "10.0.0.5"},
                       {"port", 5901},     {"group", "Цех 1"},   {"notes", "S/N 42\nвторая строка"},
                       {"viewOnly", true}, {"reconnect", false}, {"remember", true}};
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        object.insert(it.key(), QJsonValue::fromVariant(it.value()));
    for (const QString &key : removed)
        object.remove(key);
    return object;
}

PanelProfile goodRecord()
{
    PanelProfile profile
            = record(kId1, QStringLiteral("10.0.0.5"), 5901, QStringLiteral("Пресс 3"));
    profile.group = QStringLiteral("Цех 1");
    profile.notes = QStringLiteral("S/N 42\nвторая строка");
    profile.viewOnly = true;
    profile.remember = true;
    return profile;
}

} // namespace

class TestAddressBook : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    static void store(const QByteArray &bytes)
    {
        QSettings settings;
        settings.setValue(QStringLiteral("profiles"), bytes);
    }
    static QByteArray stored(const QString &key = QStringLiteral("profiles"))
    {
        return QSettings().value(key).toByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QCoreApplication::setApplicationName(QStringLiteral("PelorinVNC"));
#ifdef Q_OS_WIN
        // The registry, as in the program, under an organisation key of the tests' own so the
        // user's address book stays untouched.
        QCoreApplication::setOrganizationName(QStringLiteral("PelorinTests"));
        const QString key = QSettings().fileName();
        QVERIFY2(key.endsWith(QLatin1String("\\Software\\PelorinTests\\PelorinVNC")), qPrintable(key));
#else
        QCoreApplication::setOrganizationName(QStringLiteral("Pelorin"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        // The settings must land in the temporary folder, never the user's own.
        QVERIFY2(QSettings().fileName().startsWith(dir.path()), qPrintable(QSettings().fileName()));
#endif
    }

    void init() { QSettings().clear(); }

    void load_data()
    {
        QTest::addColumn<QByteArray>("value"); // null: no key at all
        QTest::addColumn<AddressBook>("expected");

        const PanelProfile good = goodRecord();
        auto withPort = [](int port) {
            PanelProfile profile = goodRecord();
            profile.port = port;
            return profile;
        };
        PanelProfile second = good;
        second.id = kId2;
        PanelProfile secondB = second;
        secondB.host = QStringLiteral("b");

        QTest::newRow("no key") << QByteArray() << AddressBook{};
        QTest::newRow("not JSON") << QByteArray("profiles?") << AddressBook{};
        QTest::newRow("array cut short") << entries({goodEntry()}).chopped(1) << AddressBook{};
        QTest::newRow("object instead of array")
                << QJsonDocument(goodEntry()).toJson(QJsonDocument::Compact) << AddressBook{};
        QTest::newRow("elements not objects") << QByteArray("[1,\"x\",null,[]]") << AddressBook{};
        QTest::newRow("full entry") << entries({goodEntry()}) << AddressBook{good};
        QTest::newRow("order kept")
                << entries({goodEntry({{"id", kId2}, {"host", "b"}}), goodEntry()})
                << AddressBook{secondB, good};

        QTest::newRow("empty id dropped") << entries({goodEntry({{"id", ""}})}) << AddressBook{};
        QTest::newRow("missing id dropped") << entries({goodEntry({}, {"id"})}) << AddressBook{};
        QTest::newRow("numeric id dropped") << entries({goodEntry({{"id", 7}})}) << AddressBook{};
        QTest::newRow("empty host dropped")
                << entries({goodEntry({{"host", ""}})}) << AddressBook{};
        QTest::newRow("bad entry between good ones")
                << entries({goodEntry(), goodEntry({{"host", ""}}), goodEntry({{"id", kId2}})})
                << AddressBook{good, second};

        QTest::newRow("port 0 dropped") << entries({goodEntry({{"port", 0}})}) << AddressBook{};
        QTest::newRow("port -1 dropped") << entries({goodEntry({{"port", -1}})}) << AddressBook{};
        QTest::newRow("port 65536 dropped")
                << entries({goodEntry({{"port", 65536}})}) << AddressBook{};
        QTest::newRow("port 1e10 dropped")
                << QByteArray("[{\"id\":\"a\",\"host\":\"h\",\"port\":1e10}]") << AddressBook{};
        QTest::newRow("port 1") << entries({goodEntry({{"port", 1}})}) << AddressBook{withPort(1)};
        QTest::newRow("port 65535")
                << entries({goodEntry({{"port", 65535}})}) << AddressBook{withPort(65535)};
        QTest::newRow("port missing")
                << entries({goodEntry({}, {"port"})}) << AddressBook{withPort(5900)};
        QTest::newRow("port as string")
                << entries({goodEntry({{"port", "5901"}})}) << AddressBook{withPort(5900)};
        QTest::newRow("port 5900.5")
                << QByteArray("[{\"id\":\"a\",\"host\":\"h\",\"port\":5900.5}]")
                << AddressBook{record("a", "h", 5900)};
        QTest::newRow("port null") << QByteArray("[{\"id\":\"a\",\"host\":\"h\",\"port\":null}]")
                                   << AddressBook{record("a", "h", 5900)};
        QTest::newRow("port 5901.0 is whole")
                << QByteArray("[{\"id\":\"a\",\"host\":\"h\",\"port\":5901.0}]")
                << AddressBook{record("a", "h", 5901)};

        QTest::newRow("empty name kept")
                << entries({goodEntry({{"name", ""}})}) << AddressBook{[&] {
                       PanelProfile p = good;
                       p.name.clear();
                       return p;
                   }()};
        QTest::newRow("wrong member types")
                << QByteArray("[{\"id\":\"a\",\"host\":\"h\",\"name\":5,\"group\":true,"
                              "\"notes\":[\"x\"],\"viewOnly\":\"true\",\"reconnect\":1,"
                              "\"remember\":null,\"compression\":\"true\"}]")
                << AddressBook{record("a", "h")};
        QTest::newRow("only id and host")
                << QByteArray("[{\"host\":\"h\",\"id\":\"a\"}]") << AddressBook{record("a", "h")};
        const QString pin = QString(64, QLatin1Char('a'));
        auto encrypted = [&good](PanelProfile::Encryption encryption, const QString &pin = {},
                             const QString &user = {}) {
            PanelProfile profile = good;
            profile.encryption = encryption;
            profile.certificateSha256 = pin;
            profile.userName = user;
            return profile;
        };
        using E = PanelProfile::Encryption;
        QTest::newRow("encryption preferred, user, pin")
                << entries({goodEntry({{"encryption", "preferred"}, {"userName", " ivan "},
                                       {"certificateSha256", pin}})})
                << AddressBook{encrypted(E::Preferred, pin, " ivan ")};
        QTest::newRow("encryption required")
                << entries({goodEntry({{"encryption", "required"}})})
                << AddressBook{encrypted(E::Required)};
        // Fail-safe: a value we do not know never makes a plain session.
        QTest::newRow("encryption misspelt reads required")
                << entries({goodEntry({{"encryption", "requird"}})})
                << AddressBook{encrypted(E::Required)};
        QTest::newRow("encryption in capitals reads required")
                << entries({goodEntry({{"encryption", "Preferred"}})})
                << AddressBook{encrypted(E::Required)};
        QTest::newRow("encryption \"off\" reads required")
                << entries({goodEntry({{"encryption", "off"}})})
                << AddressBook{encrypted(E::Required)};
        QTest::newRow("encryption not a string reads required")
                << entries({goodEntry({{"encryption", false}})})
                << AddressBook{encrypted(E::Required)};
        QTest::newRow("encryption empty or null is off")
                << entries({goodEntry({{"encryption", ""}}),
                            goodEntry({{"id", kId2}, {"encryption", QVariant()}})})
                << AddressBook{good, second};
        // A pin that is not one still refuses every certificate: never dropped.
        QTest::newRow("malformed pin kept as it is")
                << entries({goodEntry({{"certificateSha256", "AB:CD"}})})
                << AddressBook{encrypted(E::Off, QStringLiteral("AB:CD"))};
        QTest::newRow("pin not a string kept as its text")
                << entries({goodEntry({{"certificateSha256", 42}}),
                            goodEntry({{"id", kId2}, {"certificateSha256", QVariantList{1, "x"}}})})
                << AddressBook{encrypted(E::Off, QStringLiteral("42")), [&] {
                                   PanelProfile p = second;
                                   p.certificateSha256 = QStringLiteral("[1,\"x\"]");
                                   return p;
                               }()};
        QTest::newRow("user name not a string is empty")
                << entries({goodEntry({{"userName", 7}})}) << AddressBook{good};
        QTest::newRow("extra members and a password ignored")
                << entries({goodEntry({{"password", "geheim"}, {"colour", "red"}})})
                << AddressBook{good};
    }

    void load()
    {
        QFETCH(QByteArray, value);
        QFETCH(AddressBook, expected);
        if (!value.isNull())
            store(value);
        const AddressBook book = loadProfiles();
        QCOMPARE(book.size(), expected.size());
        for (int i = 0; i < book.size(); ++i)
            QVERIFY2(book.at(i) == expected.at(i), qPrintable(QString::number(i)));
    }

    // Every stored object has exactly the nine members, compact, with the
    // right JSON types, and the password appears nowhere in the store.
    void saveWritesNineMembersWithoutPassword()
    {
        PanelProfile a = goodRecord();
        a.password = QStringLiteral("Zq7é!x");
        PanelProfile b = record(kId2, QStringLiteral("[fe80::1]"), 65535);
        b.password = QStringLiteral("Zq7é!x");
        b.reconnect = true;
        saveProfiles({a, b});

        const QByteArray bytes = stored();
        QVERIFY(!bytes.contains('\n'));
        QVERIFY(!bytes.contains(": "));
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(document.isArray());
        const QJsonArray array = document.array();
        QCOMPARE(array.size(), 2);
        const QStringList nine{"group", "host",      "id",       "name",    "notes",
                               "port",  "reconnect", "remember", "viewOnly"};
        for (const QJsonValue &value : array) {
            const QJsonObject object = value.toObject();
            QCOMPARE(object.keys(), nine);
            QVERIFY(object.value("port").isDouble());
            QVERIFY(object.value("viewOnly").isBool());
            QVERIFY(object.value("reconnect").isBool());
            QVERIFY(object.value("remember").isBool());
        }
        QCOMPARE(array.at(1).toObject().value("port").toInt(), 65535);
        QCOMPARE(array.at(1).toObject().value("host").toString(), QStringLiteral("[fe80::1]"));
        QCOMPARE(array.at(1).toObject().value("reconnect").toBool(), true);

        QSettings().sync();
#ifdef Q_OS_WIN
        // Every value under the registry key, as the registry gives it back.
        QSettings settings;
        const QStringList keys = settings.allKeys();
        QVERIFY(!keys.isEmpty());
        for (const QString &key : keys) {
            const QByteArray value = settings.value(key).toByteArray();
            QVERIFY2(!value.contains("Zq7") && !value.contains("password"), qPrintable(key));
        }
#else
        // Search the files on disk too, in both encodings a writer might use.
        QDirIterator files(dir.path(), QDir::Files, QDirIterator::Subdirectories);
        int searched = 0;
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray content = file.readAll();
            QVERIFY2(!content.contains("Zq7"), qPrintable(file.fileName()));
            QVERIFY(!content.contains("password"));
            ++searched;
        }
        QVERIFY(searched > 0);
#endif
    }

    // A record without the encryption members is stored byte for byte as before they
    // existed; each member appears only when set, in Qt's key order.
    void storedBytes_data()
    {
        QTest::addColumn<QString>("encryption");
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray head = "[{\"";
        const QByteArray plain = "group\":\"Цех 1\",\"host\":\"10.0.0.5\",\"id\":\""
                + kId1.toLatin1()
                + "\",\"name\":\"Пресс 3\",\"notes\":\"S/N 42\\nвторая строка\",\"port\":5901,"
                  "\"reconnect\":false,\"remember\":true,";
        const QByteArray tail = "\"viewOnly\":true}]";
        QTest::newRow("none") << "" << "" << "" << head + plain + tail;
        QTest::newRow("all three")
                << "required" << "Иван" << "ABCDEF"
                << "[{\"certificateSha256\":\"ABCDEF\",\"encryption\":\"required\",\""
                        + plain + "\"userName\":\"Иван\"," + tail;
        QTest::newRow("preferred only")
                << "preferred" << "" << ""
                << "[{\"encryption\":\"preferred\",\"" + plain + tail;
    }

    void storedBytes()
    {
        QFETCH(QString, encryption);
        QFETCH(QString, userName);
        QFETCH(QString, pin);
        PanelProfile profile = goodRecord();
        profile.encryption = PanelProfile::encryptionFromName(encryption);
        profile.userName = userName;
        profile.certificateSha256 = pin;
        QVERIFY(saveProfiles({profile}));
        QTEST(stored(), "bytes");
    }

    void saveThenLoadRoundTrip()
    {
        PanelProfile a = goodRecord();
        a.group = QStringLiteral("  отступ");
        a.notes = QStringLiteral("кавычки \" и \\ обратная косая\r\nи табуляция\t");
        a.password = QStringLiteral("secret");
        PanelProfile b = PanelProfile::createNew();
        b.host = QStringLiteral("panel.local");
        b.reconnect = true;
        b.compression = true;
        b.encryption = PanelProfile::Encryption::Preferred;
        b.userName = QStringLiteral("оператор \"1\"");
        b.certificateSha256 = PanelProfile::pinFromDigest(QByteArray(32, '\xa5'));
        PanelProfile c = PanelProfile::createNew();
        c.host = QStringLiteral("panel.local");
        c.encryption = PanelProfile::Encryption::Required;
        c.certificateSha256 = QStringLiteral("not a pin");
        saveProfiles({a, b, c});

        QByteArray damaged;
        const AddressBook loaded = loadProfiles(&damaged);
        a.password.clear();
        QCOMPARE(loaded.size(), 3);
        QVERIFY(loaded.at(0) == a);
        QVERIFY(loaded.at(1) == b);
        QVERIFY(loaded.at(2) == c);
        QVERIFY(damaged.isNull());
    }

    void dropsAndExtrasVanishAtNextSave()
    {
        store(entries({goodEntry({{"colour", "red"}}), goodEntry({{"host", ""}})}));
        saveProfiles(loadProfiles());
        const QJsonArray array = QJsonDocument::fromJson(stored()).array();
        QCOMPARE(array.size(), 1);
        QVERIFY(!array.at(0).toObject().contains("colour"));
    }

    void damagedValueKeptAndReported_data()
    {
        QTest::addColumn<QByteArray>("value"); // null: no key
        QTest::addColumn<QByteArray>("backup"); // null: no backup key before loading
        QTest::addColumn<QByteArray>("expected"); // null: no backup key after loading
        QTest::addColumn<int>("loaded"); // records loaded, each with an id of its own

        static const char binaryBytes[] = "\xff\xfe[{\"id\":\0\x01}";
        const QByteArray binary(binaryBytes, sizeof binaryBytes - 1);
        const QByteArray dropped = entries({goodEntry({{"host", ""}}), goodEntry()});
        const QByteArray duplicate = entries({goodEntry(), goodEntry({{"host", "g"}})});
        // clang-format off
        QTest::newRow("not JSON") << QByteArray("[{\"id\":") << QByteArray() << QByteArray("[{\"id\":") << 0;
        QTest::newRow("binary bytes kept exactly") << binary << QByteArray() << binary << 0;
        QTest::newRow("wrong type: object instead of array")
                << QByteArray("{\"panels\":[]}") << QByteArray() << QByteArray("{\"panels\":[]}") << 0;
        QTest::newRow("wrong type: element not an object") << QByteArray("[7]") << QByteArray() << QByteArray("[7]") << 0;
        QTest::newRow("dropped entry") << dropped << QByteArray() << dropped << 1;
        QTest::newRow("duplicate id") << duplicate << QByteArray() << duplicate << 2;
        // A third record already holds the id the repeated one would be given.
        const QByteArray taken = entries({goodEntry(), goodEntry({{"host", "g"}}),
                goodEntry({{"id", profilesFromValue(duplicate).at(1).id}, {"host", "t"}})});
        QTest::newRow("repaired id already taken") << taken << QByteArray() << taken << 3;
        const QByteArray unknown = entries({goodEntry({{"encryption", "requird"}})});
        QTest::newRow("unknown encryption") << unknown << QByteArray() << unknown << 1;
        const QByteArray numericPin = entries({goodEntry({{"certificateSha256", 7}})});
        QTest::newRow("pin not text") << numericPin << QByteArray() << numericPin << 1;
        QTest::newRow("same bytes already kept") << QByteArray("oops") << QByteArray("oops") << QByteArray("oops") << 0;
        QTest::newRow("older backup replaced") << QByteArray("oops 2") << QByteArray("oops 1") << QByteArray("oops 2") << 0;
        QTest::newRow("valid") << entries({goodEntry()}) << QByteArray("old") << QByteArray("old") << 1;
        QTest::newRow("no key") << QByteArray() << QByteArray() << QByteArray() << 0;
        QTest::newRow("empty value, nothing to keep") << QByteArray("") << QByteArray("old") << QByteArray("old") << 0;
        // clang-format on
    }

    void damagedValueKeptAndReported()
    {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, backup);
        QFETCH(QByteArray, expected);
        QFETCH(int, loaded);
        if (!value.isNull())
            store(value);
        if (!backup.isNull())
            QSettings().setValue(QStringLiteral("profilesBackup"), backup);

        QByteArray damaged;
        AddressBook book = loadProfiles(&damaged);
        QSet<QString> ids;
        for (const PanelProfile &p : std::as_const(book))
            ids.insert(p.id);
        // Loading writes nothing, damaged or not: the value stays until the next save.
        QCOMPARE(stored(), value);
        QCOMPARE(stored(QStringLiteral("profilesBackup")), backup);
        // Exactly a damaged value is handed out, and kept as the backup.
        QCOMPARE(!damaged.isNull(), !value.isEmpty() && expected == value);
        if (!damaged.isNull())
            QVERIFY(keepProfilesBackup(damaged));
        QCOMPARE(stored(QStringLiteral("profilesBackup")), expected);
        QCOMPARE(book.size(), loaded);
        // The later record of a repeated id is reachable on its own and shares no password; its
        // id is the same at every start, though nothing was written, and takes no other record's.
        QCOMPARE(ids.size(), book.size());
        for (int i = 0; i < book.size(); ++i)
            QCOMPARE(book.at(i).remember, i != 1 || loaded < 2);
        QCOMPARE(loadProfiles(), book);
        book.append(record(PanelProfile::newId(), QStringLiteral("10.1.1.1")));
        QVERIFY(saveProfiles(book)); // later saves leave the backup alone
        QCOMPARE(stored(QStringLiteral("profilesBackup")), expected);
        QByteArray again;
        QCOMPARE(loadProfiles(&again), book);
        QVERIFY(again.isNull());
    }

    // The backup survives the settings file being written and read again.
    void backupSurvivesReopening()
    {
        const QByteArray damaged("[{\"id\":\"a\",\"host\":\"h\"}]\x00garbage", 31);
        store(damaged);
        QSettings().sync();
        QByteArray value;
        const AddressBook book = loadProfiles(&value);
        QVERIFY(keepProfilesBackup(value));
        saveProfiles(book);
        QSettings().sync();
        QSettings reopened(QSettings().fileName(), QSettings().format());
        QCOMPARE(reopened.value(QStringLiteral("profilesBackup")).toByteArray(), damaged);
        QCOMPARE(reopened.value(QStringLiteral("profiles")).toByteArray(), QByteArray("[]"));
    }

    void indexById_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("index");
        QTest::newRow("first") << kId1 << 0;
        QTest::newRow("second") << kId2 << 1;
        QTest::newRow("first of duplicates") << QStringLiteral("dup") << 2;
        QTest::newRow("case counts") << kId1.toUpper() << -1;
        QTest::newRow("braces count") << "{" + kId1 + "}" << -1;
        QTest::newRow("empty") << QString() << -1;
    }

    void indexById()
    {
        QFETCH(QString, id);
        QFETCH(int, index);
        const AddressBook book{record(kId1, "a"), record(kId2, "b"), record("dup", "c"),
                               record("dup", "d")};
        QCOMPARE(profileIndexById(book, id), index);
    }

    void newIdIsLowerCaseUuidWithoutBraces()
    {
        const QString id = PanelProfile::newId();
        QCOMPARE(id.size(), 36);
        QVERIFY(!id.contains('{'));
        QCOMPARE(id, id.toLower());
        QVERIFY(id != PanelProfile::newId());
        const PanelProfile fresh = PanelProfile::createNew();
        QCOMPARE(fresh.id.size(), 36);
        QCOMPARE(fresh.port, 5900);
        QVERIFY(!fresh.viewOnly && !fresh.reconnect && !fresh.remember);
    }

    // What the protocol client is given for the record's pin: the digest of a well-formed
    // pin, a value that matches no certificate for any other text, nothing without encryption.
    void trustedCertificate_data()
    {
        QTest::addColumn<int>("encryption");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QByteArray>("expected"); // "-": some value that is not 32 bytes long
        const QByteArray digest = QByteArray::fromHex(
                "00ff3fa09c1b112233445566778899aabbccddeeff0123456789abcdefabcdef");
        const QString pin = PanelProfile::pinFromDigest(digest);
        const int off = int(PanelProfile::Encryption::Off);
        const int preferred = int(PanelProfile::Encryption::Preferred);
        const int required = int(PanelProfile::Encryption::Required);
        QTest::newRow("no pin") << required << QString() << QByteArray();
        QTest::newRow("encryption off") << off << pin << QByteArray();
        QTest::newRow("lower case") << preferred << pin << digest;
        QTest::newRow("capitals") << required << pin.toUpper() << digest;
        QTest::newRow("63 digits") << required << pin.chopped(1) << QByteArray("-");
        QTest::newRow("65 digits") << required << pin + "0" << QByteArray("-");
        QTest::newRow("grouped") << required << PanelProfile::groupedFingerprint(pin)
                                 << QByteArray("-");
        QTest::newRow("not hex") << required << QString(64, QLatin1Char('g')) << QByteArray("-");
        QTest::newRow("32 characters") << required << QString(32, QLatin1Char('a'))
                                       << QByteArray("-");
    }

    void trustedCertificate()
    {
        QFETCH(int, encryption);
        QFETCH(QString, pin);
        QFETCH(QByteArray, expected);
        PanelProfile profile;
        profile.encryption = PanelProfile::Encryption(encryption);
        profile.certificateSha256 = pin;
        const QByteArray given = profile.trustedCertificate();
        if (expected == "-")
            QVERIFY(!given.isEmpty() && given.size() != 32);
        else
            QCOMPARE(given, expected);
    }

    // Copies of a record never share the password's characters, and a wipe zeroes them where
    // they are (filling a shared QString zeroes a fresh copy); a buffer still shared stays.
    void passwordWipedInPlace()
    {
        const QString zeros(6, QChar());
        PanelProfile a;
        a.password = QStringLiteral("geheim");
        const PanelProfile b = a;
        const QChar *buffer = a.password.view().data();
        a.password.clear();
        QVERIFY(QStringView(buffer, 6) == zeros && b.password.view() == u"geheim");

        QString read = QString::fromLatin1("geheim"); // its only owner, as a keyring read
        const QChar *readBuffer = read.constData();
        QString shown = Password::take(std::move(read)).toQString();
        const QString field = shown; // a line edit keeping the text it was given
        Password::wipe(shown);
        QVERIFY(QStringView(readBuffer, 6) == zeros && field == u"geheim");
    }
};

QTEST_GUILESS_MAIN(TestAddressBook)
#include "tst_addressbook.moc"
