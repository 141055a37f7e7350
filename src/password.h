#pragma once

#include <QString>
#include <QStringView>

// A connection password in memory. Its characters are never shared with
// another object: every copy is a deep copy, and each buffer is overwritten
// with zeros before it is released (destruction, assignment, clear). A plain
// QString cannot promise that: copies share one buffer, and filling one of
// them first detaches it, so the zeros land in a fresh copy while the shared
// original is freed as it was.
//
// Read it through view(). Only where a Qt interface insists on a QString does
// toQString() make one; the caller hands that copy to wipe() once done.
//
// Out of reach: a QLineEdit keeps what was typed into it or shown in it in
// buffers of its own (its text, its undo history) that no caller can
// overwrite. The editor and the prompt clear their fields when they close,
// which is as far as one can go with Qt's line edit.
class Password
{
public:
    Password() = default;
    // A deep copy of text; text itself stays the caller's to wipe. Implicit,
    // so records can be filled from text like their other fields. Nothing
    // else converts implicitly: a conversion would leave an unwiped temporary
    // QString behind.
    Password(const QString &text); // NOLINT(google-explicit-constructor)
    explicit Password(QStringView text);
    Password(const Password &other);
    Password(Password &&other) noexcept;
    Password &operator=(const Password &other);
    Password &operator=(Password &&other) noexcept;
    ~Password();

    // Copies text, then wipes it (see wipe()).
    static Password take(QString &&text);
    // Zeroes text in place when it holds the only reference to its characters
    // (it keeps the zeroed buffer until it goes), and empties it. A buffer
    // that something else still shares (a line edit's own text, say) is out
    // of reach: it is only let go.
    static void wipe(QString &text);

    bool isEmpty() const { return text.isEmpty(); }
    qsizetype size() const { return text.size(); }
    QStringView view() const { return text; }
    // Whether every character survives a round trip through Latin-1 (VNC
    // authentication takes the password as Latin-1 bytes).
    bool isLatin1() const;
    // A new QString holding the password, for a Qt interface that needs one.
    QString toQString() const;
    // Overwrites the characters in place with zeros; the password is empty.
    void clear();

    friend bool operator==(const Password &a, const Password &b) { return a.text == b.text; }
    friend bool operator!=(const Password &a, const Password &b) { return !(a == b); }

private:
    QString text; // never shared: filled only through deepCopy()
};
