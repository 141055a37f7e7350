#include "securitychoice.h"

namespace {

bool strict(const SecurityChoice::Policy &policy)
{
    return policy.require || policy.pinned;
}

} // namespace

SecurityChoice::Result SecurityChoice::securityType(const Policy &policy, QByteArrayView types)
{
    if (policy.encrypt && types.contains(char(VeNCrypt)))
        return {Outcome::Chosen, VeNCrypt};
    // A man in the middle can strike VeNCrypt from the unprotected list: a panel that must
    // encrypt is never talked to in clear.
    if (policy.encrypt && strict(policy))
        return {Outcome::NotEncrypted, 0};
    if (types.contains(char(VncAuth)))
        return {Outcome::Chosen, VncAuth};
    if (types.contains(char(None)))
        return {Outcome::Chosen, None};
    return {Outcome::Unsupported, 0};
}

SecurityChoice::Result SecurityChoice::subtype(const Policy &policy,
                                               const QList<quint32> &subtypes)
{
    // Checked certificates first, anonymous TLS after; Plain and TLSPlain (the whole password
    // to an unchecked end) never.
    static const quint32 order[] = {X509Vnc, X509Plain, X509None, TlsVnc, TlsNone};
    bool plainSkipped = false;
    if (policy.tls) {
        for (const quint32 candidate : order) {
            if (!subtypes.contains(candidate))
                continue;
            if (!isX509(candidate) && (policy.pinned || !policy.anonymousTls))
                continue;
            if (inner(candidate) == Inner::Plain && !policy.userName) {
                plainSkipped = true;
                continue;
            }
            return {Outcome::Chosen, candidate};
        }
    }
    if (plainSkipped)
        return {Outcome::NeedsUserName, 0};
    if (!strict(policy)) {
        if (subtypes.contains(VncAuth))
            return {Outcome::Chosen, VncAuth};
        if (subtypes.contains(None))
            return {Outcome::Chosen, None};
    }
    return {Outcome::NoUsableSubtype, 0};
}

bool SecurityChoice::isTls(quint32 subtype)
{
    return subtype >= TlsNone && subtype <= X509Plain;
}

bool SecurityChoice::isX509(quint32 subtype)
{
    return subtype >= X509None && subtype <= X509Plain;
}

SecurityChoice::Inner SecurityChoice::inner(quint32 subtype)
{
    switch (subtype) {
    case VncAuth:
    case TlsVnc:
    case X509Vnc:
        return Inner::Vnc;
    case Plain:
    case TlsPlain:
    case X509Plain:
        return Inner::Plain;
    default:
        return Inner::None;
    }
}
