#pragma once
// The revision keyword ("$Revision: 1234 $") carried by database files.
#include <QString>

class SVN
{
public:
    SVN() = delete;

    // The number after the last colon (and optional white space) that follows a "$";
    // -1 without a match, 0 when the digits do not fit a signed 32-bit integer.
    static int parseSvnRevision(const QString& text);
    // The word after "Revision:", or a null string without a match.
    static QString parseSvnRevisionAsString(const QString& text);
    // "$Revision: <revision> $".
    static QString makeRevisionString(const QString& revision);
};
