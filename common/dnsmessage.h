#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

namespace torvane {

// The one DNS exchange the line check needs: a recursive A query for a name, and the verdict on
// what came back. Answers arrive from the network, so reading one is bounded by its bytes and
// never follows a compression pointer.

// A query for the A record of name with this id, recursion desired; empty when the name cannot
// be asked (an empty label, a label over 63 bytes, over 253 bytes in all). A name in another
// script is asked in its ACE form.
QByteArray EncodeDnsQuery(quint16 id, const QString& name);

// The name as it is asked, or empty when it cannot be: EncodeDnsQuery's rule for callers that
// check a setting once.
QString DnsQueryName(const QString& name);

enum class DnsAnswerStatus {
    Resolved,    // our id, a response, RCODE 0, at least one answer record that reads whole
    OtherId,     // not the answer to our query (a late answer to an earlier one, or noise)
    NotResponse, // QR is not set
    ServerError, // RCODE other than 0 (rcode says which)
    NoRecords,   // a clean response without answer records
    Malformed,   // cut short or otherwise unreadable
};

struct DnsAnswer {
    DnsAnswerStatus status = DnsAnswerStatus::Malformed;
    int rcode = 0;
    int records = 0; // answer records read
};

DnsAnswer ReadDnsAnswer(QByteArrayView datagram, quint16 id);

} // namespace torvane
