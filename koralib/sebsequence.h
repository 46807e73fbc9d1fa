#pragma once
// One SEB command sequence of the first instrument, rebuilt from its type-23
// packets. Scans hold the sequences that ran during them (through
// QSharedPointer) and report the packets each was built from.
#include <QList>

namespace KorGse {

class SebSequence
{
public:
    SebSequence();

    // The packet that started the sequence, then each packet added to it.
    QList<int> pktIndexes;
};

} // namespace KorGse
