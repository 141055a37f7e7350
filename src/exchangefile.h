#pragma once

#include "addressbook.h"

#include <QByteArray>
#include <QString>

// The address book exchange file: UTF-8 JSON {"format": "pelorin-addressbook",
// "version": 2, "panels": [...]} carrying panels between installations without
// passwords, ids or the remember flag.

// Largest file accepted, and the most panels one file may carry. An importer
// reads at most kExchangeFileMaxBytes + 1 bytes so that an oversized file is
// still recognised as one.
constexpr qint64 kExchangeFileMaxBytes = 2 * 1024 * 1024;
constexpr int kExchangeFileMaxPanels = 1000;

// The parsed panels, or the one message that explains why the file was refused.
struct ExchangeFileResult
{
    bool ok = false;
    AddressBook panels; // in file order, each with a fresh id; empty unless ok
    QString error; // user-visible text; empty when ok
};

// The bytes of an exchange file holding the whole book, in book order.
QByteArray buildExchangeFile(const AddressBook &book);

// Validates the whole file; all or nothing. New records get fresh ids, an empty
// password and `remember` off. Never touches the address book itself. A row
// with an "encryption" other than "preferred" or "required", or a
// "certificateSha256" that is not text, is a bad row; a malformed pin text is
// kept as it is (it matches no certificate).
ExchangeFileResult parseExchangeFile(const QByteArray &bytes);
