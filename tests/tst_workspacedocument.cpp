// The stored workspace: every member falls back to its default on its own, and
// the written form is the compact one other tools read.
#include "workspacedocument.h"

#include <QtTest>

namespace {

using Doc = WorkspaceDocument;

Doc withCells(const QStringList &cells)
{
    Doc doc;
    doc.cellIds = cells;
    return doc;
}

Doc withSession(const QString &id, int zoom, std::optional<bool> viewOnly)
{
    Doc doc;
    doc.sessions.append({ id, zoom, viewOnly });
    return doc;
}

} // namespace

Q_DECLARE_METATYPE(WorkspaceDocument)

namespace QTest {
template<> char *toString(const WorkspaceDocument &doc)
{
    return qstrdup(doc.toJson().constData());
}
} // namespace QTest

class TestWorkspaceDocument : public QObject
{
    Q_OBJECT

private slots:
    void read_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<WorkspaceDocument>("expected");

        Doc hidden;
        hidden.sidebar = false;
        Doc four;
        four.mode = 4;

        QTest::newRow("no value") << QByteArray() << Doc();
        QTest::newRow("does not parse") << QByteArray("{\"mode\":2,") << Doc();
        QTest::newRow("top level array") << QByteArray("[{\"mode\":2}]") << Doc();
        QTest::newRow("mode 3") << QByteArray("{\"mode\":3}") << Doc();
        QTest::newRow("mode 4.0") << QByteArray("{\"mode\":4.0}") << four;
        QTest::newRow("mode as text") << QByteArray("{\"mode\":\"4\"}") << Doc();
        QTest::newRow("zoom 9") << QByteArray("{\"sessions\":[{\"id\":\"a\",\"zoom\":9}]}")
                                << withSession("a", 4, std::nullopt);
        QTest::newRow("zoom -2") << QByteArray("{\"sessions\":[{\"id\":\"a\",\"zoom\":-2}]}")
                                 << withSession("a", 0, std::nullopt);
        QTest::newRow("zoom huge") << QByteArray("{\"sessions\":[{\"id\":\"a\",\"zoom\":1e300}]}")
                                   << withSession("a", 4, std::nullopt);
        QTest::newRow("view only kept")
            << QByteArray("{\"sessions\":[{\"id\":\"a\",\"zoom\":2,\"viewOnly\":false}]}")
            << withSession("a", 2, false);
        QTest::newRow("view only not boolean")
            << QByteArray("{\"sessions\":[{\"id\":\"a\",\"viewOnly\":1}]}")
            << withSession("a", 0, std::nullopt);
        QTest::newRow("session not an object")
            << QByteArray("{\"sessions\":[7]}") << withSession("", 0, std::nullopt);
        QTest::newRow("same id in cells 0 and 2")
            << QByteArray("{\"cellIds\":[\"a\",\"b\",\"a\",\"c\"]}")
            << withCells({ "a", "b", "", "c" });
        QTest::newRow("cell not text, short list")
            << QByteArray("{\"cellIds\":[5,\"b\"]}") << withCells({ "", "b", "", "" });
        QTest::newRow("only four cells")
            << QByteArray("{\"cellIds\":[\"a\",\"b\",\"c\",\"d\",\"e\"]}")
            << withCells({ "a", "b", "c", "d" });
        QTest::newRow("sidebar hidden") << QByteArray("{\"sidebar\":false}") << hidden;
        QTest::newRow("sidebar not boolean") << QByteArray("{\"sidebar\":0}") << Doc();
        QTest::newRow("active not text") << QByteArray("{\"active\":3}") << Doc();
    }

    void read()
    {
        QFETCH(QByteArray, json);
        QFETCH(WorkspaceDocument, expected);
        QCOMPARE(Doc::fromJson(json), expected);
    }

    // The stored bytes are read by other tools too: compact, keys in order.
    void written()
    {
        Doc doc;
        doc.mode = 2;
        doc.sessions = { { "a", 1, true }, { "b", 0, false } };
        doc.cellIds = QStringList { "b", "", "a", "" };
        doc.active = QStringLiteral("a");
        doc.sidebar = false;
        const QByteArray json = doc.toJson();
        QCOMPARE(json,
            QByteArray("{\"active\":\"a\",\"cellIds\":[\"b\",\"\",\"a\",\"\"],\"mode\":2,"
                       "\"sessions\":[{\"id\":\"a\",\"viewOnly\":true,\"zoom\":1},"
                       "{\"id\":\"b\",\"viewOnly\":false,\"zoom\":0}],\"sidebar\":false}"));
        QCOMPARE(Doc::fromJson(json), doc);
    }
};

QTEST_GUILESS_MAIN(TestWorkspaceDocument)
#include "tst_workspacedocument.moc"
