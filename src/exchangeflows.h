#pragma once

#include "addressbook.h"

#include <QCoreApplication>
#include <QString>

#include <optional>

class QWidget;
class UserPrompts;

// The address book's way in and out as a file, with the user: the file dialog,
// the atomic write or the bounded read, every notice and the import's
// confirmation, all put to the user through prompts. The caller owns the book
// and does the append and what follows.
class ExchangeFlows
{
    Q_DECLARE_TR_FUNCTIONS(ExchangeFlows)

public:
    // Asks for a file and writes the whole book to it without passwords; shows
    // the result notice either way. True when the file was written; a cancelled
    // dialog gives false without a message.
    static bool exportBook(UserPrompts &prompts, QWidget *parent, const AddressBook &book);

    // Asks for a file, reads and validates all of it and asks to add its panels.
    // Returns the new records (fresh ids, in file order; possibly none) only when
    // the user confirmed; nothing after a cancel, a refused file (its notice
    // shown) or a declined confirmation.
    static std::optional<AddressBook> chooseImport(UserPrompts &prompts, QWidget *parent);

    // The journal entry of an accepted import of count panels.
    static QString importJournalText(int count);
};
