#include "password.h"

#include <algorithm>
#include <utility>

namespace {

QString deepCopy(QStringView text)
{
    // QString(const QChar *, size) always allocates its own buffer.
    return text.isEmpty() ? QString() : QString(text.data(), text.size());
}

// Volatile stores: the buffer is released soon after, and ordinary stores to
// it could be dropped as dead. The string keeps its (zeroed) buffer, as
// QString never shrinks on resize.
void zero(QString &text)
{
    auto *data = reinterpret_cast<volatile char16_t *>(text.data());
    for (qsizetype i = 0; i < text.size(); ++i)
        data[i] = 0;
    text.resize(0);
}

} // namespace

Password::Password(const QString &text)
    : text(deepCopy(text))
{
}

Password::Password(QStringView text)
    : text(deepCopy(text))
{
}

Password::Password(const Password &other)
    : text(deepCopy(other.text))
{
}

// Moving hands the one buffer over; nothing is left behind to wipe.
Password::Password(Password &&other) noexcept
    : text(std::exchange(other.text, QString()))
{
}

Password &Password::operator=(const Password &other)
{
    if (this != &other) {
        clear();
        text = deepCopy(other.text);
    }
    return *this;
}

Password &Password::operator=(Password &&other) noexcept
{
    if (this != &other) {
        clear();
        text = std::exchange(other.text, QString());
    }
    return *this;
}

Password::~Password()
{
    clear();
}

Password Password::take(QString &&text)
{
    Password password(QStringView { text });
    wipe(text);
    return password;
}

void Password::wipe(QString &text)
{
    // A shared buffer would detach on data(): the zeros would go to a new copy.
    if (!text.isEmpty() && text.isDetached())
        zero(text);
    else
        text.clear();
}

bool Password::isLatin1() const
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() <= 0xff; });
}

QString Password::toQString() const
{
    return deepCopy(text);
}

void Password::clear()
{
    if (!text.isEmpty())
        zero(text);
}
