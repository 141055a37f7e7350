// The DES module: published DES vectors, the VNC key bit order and the schedule wipe.
#include "d3des/d3des.h"

#include <QtTest>

#include <cstring>

namespace {

std::uint8_t reversedBits(std::uint8_t b)
{
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1u << i))
            r |= std::uint8_t(0x80u >> i);
    return r;
}

QByteArray run(const QByteArray &key, d3des::Direction direction, const QByteArray &input)
{
    d3des::Schedule schedule;
    d3des::setKey(reinterpret_cast<const std::uint8_t *>(key.constData()), direction, schedule);
    QByteArray out(input.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i + 8 <= input.size(); i += 8)
        d3des::block(schedule, reinterpret_cast<const std::uint8_t *>(input.constData() + i),
                     reinterpret_cast<std::uint8_t *>(out.data() + i));
    return out;
}

// The module takes keys in VNC order; a standard key is turned into that order first.
QByteArray vncOrder(const QByteArray &standardKey)
{
    QByteArray key = standardKey;
    for (char &c : key)
        c = char(reversedBits(std::uint8_t(c)));
    return key;
}

unsigned char stale[4096];

// Copies the stack just below the caller's frame, where the calls it made before kept their
// locals. Plain loads only: a call here would overwrite what it reads.
Q_NEVER_INLINE __attribute__((no_sanitize("address"))) void copyStaleStack()
{
    const auto *below = reinterpret_cast<const volatile unsigned char *>(
        reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) - sizeof stale);
    for (std::size_t i = 0; i < sizeof stale; ++i)
        stale[i] = below[i];
}

// What a caller does: set up, use, wipe. Returns the last round key, which exists in full
// only inside the set-up.
Q_NEVER_INLINE std::uint64_t scheduleAndWipe(const std::uint8_t key[8])
{
    d3des::Schedule schedule;
    d3des::setKey(key, d3des::Direction::Encrypt, schedule);
    const std::uint64_t last = (std::uint64_t(schedule.words[30]) << 24) | schedule.words[31];
    d3des::wipe(schedule);
    return last;
}

} // namespace

class TestD3des : public QObject
{
    Q_OBJECT

private slots:
    void standardVectors_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("cipher");
        auto row = [](const char *name, const char *k, const char *p, const char *c) {
            QTest::newRow(name) << QByteArray::fromHex(k) << QByteArray::fromHex(p)
                                << QByteArray::fromHex(c);
        };
        row("textbook", "133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405");
        row("zero output", "0E329232EA6D0D73", "8787878787878787", "0000000000000000");
        row("weak key, first bit", "0101010101010101", "95F8A5E5DD31D900", "8000000000000000");
        row("NBS variable key", "7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B");
        row("NBS 2", "0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271");
        row("key equals plain", "0123456789ABCDEF", "0123456789ABCDEF", "56CC09E7CFDC4CEF");
        row("descending key", "FEDCBA9876543210", "0011223344556677", "0998CAAADAE55DB4");
    }

    void standardVectors()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, cipher);
        QCOMPARE(run(vncOrder(key), d3des::Direction::Encrypt, plain).toHex(), cipher.toHex());
        QCOMPARE(run(vncOrder(key), d3des::Direction::Decrypt, cipher).toHex(), plain.toHex());

        // In place, as a caller may reuse one buffer.
        d3des::Schedule schedule;
        const QByteArray vncKey = vncOrder(key);
        d3des::setKey(reinterpret_cast<const std::uint8_t *>(vncKey.constData()),
                      d3des::Direction::Encrypt, schedule);
        QByteArray buffer = plain;
        auto *bytes = reinterpret_cast<std::uint8_t *>(buffer.data());
        d3des::block(schedule, bytes, bytes);
        QCOMPARE(buffer.toHex(), cipher.toHex());
    }

    // Expected values computed independently with a standard DES on the bit-reversed key bytes.
    void vncKeyOrder_data()
    {
        QTest::addColumn<QByteArray>("vncKey");
        QTest::addColumn<QByteArray>("challenge");
        QTest::addColumn<QByteArray>("response");
        QTest::newRow("secret") << QByteArray("secret\0\0", 8)
                                << QByteArray::fromHex("00112233445566778899AABBCCDDEEFF")
                                << QByteArray::fromHex("F19B50471F60F42298E5C0147DB50E1E");
        QTest::newRow("password") << QByteArray("password")
                                  << QByteArray::fromHex("0123456789ABCDEFFEDCBA9876543210")
                                  << QByteArray::fromHex("2B237257E9F90C8165DC8E23107EDF71");
        QTest::newRow("all-zero key") << QByteArray(8, 0)
                                      << QByteArray::fromHex("DEADBEEFCAFEBABE0011223344556677")
                                      << QByteArray::fromHex("0F65BC91F0ADCEFA74F4AE777AA431E8");
    }

    void vncKeyOrder()
    {
        QFETCH(QByteArray, vncKey);
        QFETCH(QByteArray, challenge);
        QFETCH(QByteArray, response);
        QCOMPARE(run(vncKey, d3des::Direction::Encrypt, challenge).toHex(), response.toHex());
    }

    // In VNC order the top bit of every key byte is the unused parity bit; the low bit is not.
    void onlyTopBitIsIgnored_data()
    {
        QTest::addColumn<int>("byteIndex");
        for (int i = 0; i < 8; ++i)
            QTest::addRow("byte %d", i) << i;
    }

    void onlyTopBitIsIgnored()
    {
        QFETCH(int, byteIndex);
        const QByteArray key("Pelorin!");
        const QByteArray block = QByteArray::fromHex("0123456789ABCDEF");
        const QByteArray reference = run(key, d3des::Direction::Encrypt, block);
        for (int bit = 0; bit < 8; ++bit) {
            QByteArray flipped = key;
            flipped[byteIndex] = char(flipped[byteIndex] ^ (1 << bit));
            const QByteArray out = run(flipped, d3des::Direction::Encrypt, block);
            if (bit == 7)
                QCOMPARE(out.toHex(), reference.toHex());
            else
                QVERIFY2(out != reference, qPrintable(QStringLiteral("bit %1").arg(bit)));
        }
    }

    void wipeClearsSchedule()
    {
        d3des::Schedule schedule;
        d3des::setKey(reinterpret_cast<const std::uint8_t *>("password"), d3des::Direction::Encrypt,
                      schedule);
        bool anySet = false;
        for (std::uint32_t w : schedule.words)
            anySet = anySet || w != 0;
        QVERIFY(anySet);
        d3des::wipe(schedule);
        for (std::uint32_t w : schedule.words)
            QCOMPARE(w, 0u);
    }

    // The key set-up leaves neither the key in DES bit order nor a round key on the stack.
    // Optimised builds mostly keep these in registers; unoptimised ones show a missing wipe.
    void setKeyLeavesNoKeyOnTheStack()
    {
        const QByteArray key("Pel0r1n!");
        const std::uint64_t lastRound
            = scheduleAndWipe(reinterpret_cast<const std::uint8_t *>(key.constData()));
        copyStaleStack();
        // Only now: a value this function held in a register would be saved by its callees.
        std::uint64_t standardKey = 0;
        for (char c : key)
            standardKey = (standardKey << 8) | reversedBits(std::uint8_t(c));
        const QByteArray area(reinterpret_cast<const char *>(stale), sizeof stale);
        // As the machine stores them (little-endian); the round key has 48 bits.
        QVERIFY(!area.contains(QByteArray(reinterpret_cast<const char *>(&standardKey), 8)));
        QVERIFY(!area.contains(QByteArray(reinterpret_cast<const char *>(&lastRound), 6)));
    }
};

QTEST_APPLESS_MAIN(TestD3des)
#include "tst_d3des.moc"
