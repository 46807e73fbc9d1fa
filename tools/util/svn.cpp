#include "tools/util/svn.h"

#include <QRegularExpression>

int SVN::parseSvnRevision(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("\\$.*:\\s*(\\d+).*$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return -1;
    bool ok = false;
    const int revision = m.capturedView(1).toInt(&ok);
    return ok ? revision : 0;
}

QString SVN::parseSvnRevisionAsString(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("\\$.*Revision:\\s*(\\w+).*$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return QString();
    return m.captured(1);
}

QString SVN::makeRevisionString(const QString& revision)
{
    return QStringLiteral("$Revision: %1 $").arg(revision);
}
