#include "tools/util/tools.h"

#include <boost/tokenizer.hpp>

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace Tools {

std::vector<std::string> split(const std::string& text, const char* separators)
{
    // Boost's tokenizer keeps empty fields between separators; an empty text is
    // still one (empty) field.
    using Separator = boost::char_separator<char>;
    const Separator sep(separators ? separators : "", "", boost::keep_empty_tokens);
    boost::tokenizer<Separator> tokens(text, sep);
    std::vector<std::string> fields(tokens.begin(), tokens.end());
    if (fields.empty())
        fields.emplace_back();
    return fields;
}

bool openPlainFile(QFile& file)
{
    return QFileInfo(file.fileName()).isFile() && file.open(QIODevice::ReadOnly);
}

namespace {

// A folder name read as a UTC date-time. Parsing with an explicit zone keeps the
// fields as written; read as local time first, a name that falls into a daylight-
// saving gap of the machine's zone would come out shifted.
QDateTime folderDateTime(const QString& name, const QString& format)
{
    QDateTime dt = QDateTime::fromString(name + QStringLiteral(" Z"), format + QStringLiteral(" t"));
    if (dt.isValid() && dt.timeSpec() == Qt::UTC)
        return dt;
    dt = QDateTime::fromString(name, format);
    if (!dt.isValid())
        return QDateTime();
    return QDateTime(dt.date(), dt.time(), Qt::UTC);
}

} // namespace

QString findFileInLowerDir(const QString& folder, const QDateTime& time, const QString& nameFilter,
                           const QString& folderNameFormat)
{
    const QDir dir(folder);
    if (folder.isEmpty() || !dir.exists())
        return QString();
    if (time.timeSpec() != Qt::UTC)
        return QString();

    std::vector<QDateTime> dates;
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDateTime dt = folderDateTime(name, folderNameFormat);
        if (dt.isValid())
            dates.push_back(dt);
    }
    if (dates.empty())
        return QString();
    std::sort(dates.begin(), dates.end());

    const auto notEarlier = std::lower_bound(dates.begin(), dates.end(), time);
    std::ptrdiff_t i = notEarlier - dates.begin();
    i = i > 0 ? i - 1 : 0;

    const QString base = dir.absolutePath();
    for (; i >= 0; --i) {
        const QDir sub(base + QLatin1Char('/') + dates[std::size_t(i)].toString(folderNameFormat));
        const QFileInfoList files =
            sub.entryInfoList(QStringList{nameFilter}, QDir::Files, QDir::Name | QDir::IgnoreCase);
        if (!files.isEmpty())
            return files.first().absoluteFilePath();
    }
    return QString();
}

} // namespace Tools
