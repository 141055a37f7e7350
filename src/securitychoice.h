#pragma once

#include <QByteArrayView>
#include <QList>
#include <QtGlobal>

// Which security type, and which VeNCrypt subtype, a client takes from what a panel offers.
// Decisions only, no bytes: RfbClient sends and reads, this says what to answer.
class SecurityChoice
{
public:
    // RFB security types and VeNCrypt subtypes we know by name.
    enum Type : quint32 {
        None = 1,
        VncAuth = 2,
        VeNCrypt = 19,
        Plain = 256,
        TlsNone = 257,
        TlsVnc = 258,
        TlsPlain = 259,
        X509None = 260,
        X509Vnc = 261,
        X509Plain = 262,
    };

    // What runs inside the chosen VeNCrypt subtype.
    enum class Inner { None, Vnc, Plain };

    struct Policy
    {
        bool encrypt = false; // VeNCrypt may be taken (Preferred or Required)
        bool require = false; // nothing but a TLS subtype will do
        bool pinned = false; // a certificate is pinned: X509 subtypes only, as if required
        bool userName = false; // a user name is set for the Plain log-in
        bool tls = true; // the TLS backend works at all
        bool anonymousTls = false; // the TLS backend offers anonymous suites
    };

    enum class Outcome {
        Chosen,
        NotEncrypted, // encryption is required (or pinned) and the panel does not offer VeNCrypt
        NoUsableSubtype, // VeNCrypt offered, nothing in its list that we may take
        NeedsUserName, // only a Plain log-in would do, and no user name is set
        Unsupported, // neither None, VNC Authentication nor (when allowed) VeNCrypt
    };

    struct Result
    {
        Outcome outcome = Outcome::Unsupported;
        quint32 choice = 0;
    };

    // The 3.7/3.8 list of security types (one byte each).
    static Result securityType(const Policy &policy, QByteArrayView types);
    // The VeNCrypt subtype list.
    static Result subtype(const Policy &policy, const QList<quint32> &subtypes);

    static bool isTls(quint32 subtype);
    static bool isX509(quint32 subtype);
    static Inner inner(quint32 subtype);
};
