#include "koralib/seb/sebcmdinterpreter.h"

#include "gselib/services/configvek.h"
#include "tools/logger/log.h"
#include "tools/util/jsonutil.h"
#include "tools/util/parsingexception.h"
#include "tools/util/tools.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <stdexcept>
#include <string>

namespace KorGse {

const QString SebCmdInterpreter::KEY_CMDID = QStringLiteral("id");
const QString SebCmdInterpreter::KEY_NAME = QStringLiteral("name");
const QString SebCmdInterpreter::KEY_DESC = QStringLiteral("description");
const QString SebCmdInterpreter::KEY_DATA = QStringLiteral("data");
const QString SebCmdInterpreter::CFG_DIR = QStringLiteral("viewerConfigs");
const QString SebCmdInterpreter::CFG_FILENAME = QStringLiteral("seb_cmds.json");

SebCmdInterpreter::Table SebCmdInterpreter::interpreters_;

namespace {

int32_t parseCmdId(const QString& text)
{
    bool ok = false;
    const int v = text.toInt(&ok, 16);
    if (!ok)
        throw HexStringToIntException(text.toStdString());
    return v;
}

} // namespace

SebCmdInterpreter::SebCmdInterpreter(const QMap<QString, QVariant>& cmd)
{
    cmdId = parseCmdId(JsonUtil::extractStringFromMap(cmd, KEY_CMDID));
    name = JsonUtil::extractStringFromMap(cmd, KEY_NAME);
    description = JsonUtil::extractStringFromMap(cmd, KEY_DESC);
    extractDataFields(cmd.value(KEY_DATA));
}

void SebCmdInterpreter::extractDataFields(const QVariant& data)
{
    JsonUtil::verifyValidVariant(KEY_DATA, data);
    JsonUtil::verifyVariantType(KEY_DATA, data, QMetaType::QVariantList);
    const QVariantList fields = data.toList();
    for (const QVariant& f : fields) {
        JsonUtil::verifyVariantType(QStringLiteral("Decoder"), f, QMetaType::QVariantMap);
        const QVariantMap field = f.toMap();
        const unsigned type = JsonUtil::extractUIntFromMap(field, BaseFieldDecoder::KEY_TYPE);
        QSharedPointer<BaseFieldDecoder> decoder;
        switch (type) {
        case 0:
            break;
        case 1:
            decoder = QSharedPointer<SimpleDecoder>::create(field);
            break;
        case 2:
            decoder = QSharedPointer<HkDecoder>::create(field);
            break;
        case 3:
            decoder = QSharedPointer<DacIdDecoder>::create(field);
            break;
        case 4:
            decoder = QSharedPointer<DacValueDecoder>::create(field);
            break;
        default:
            throw GeneralParsingException("Unknown decoder type");
        }
        decoders.append(decoder);
    }
}

void SebCmdInterpreter::createInterpreters()
{
    if (!interpreters_.isEmpty())
        return;
    const QString gse = GseLib::ConfigVek::getGsePath(GseLib::ConfigVek::getDefaultGroup());
    createInterpreters(gse + QLatin1Char('/') + CFG_DIR + QLatin1Char('/') + CFG_FILENAME);
}

void SebCmdInterpreter::createInterpreters(const QString& path)
{
    if (!interpreters_.isEmpty())
        return;
    QFile file(path);
    if (!Tools::openPlainFile(file)) {
        // The exception carries the file's own error text, as the caller shows it.
        // A folder, device or pipe is refused before opening (it could block or
        // never end), so those texts are made here.
        const QString why = file.error() != QFileDevice::NoError ? file.errorString()
            : QFileInfo::exists(path)                          ? QStringLiteral("Not a plain file")
                                                               : QStringLiteral("No such file or directory");
        // The exception's text has no room for the path; the log line names it.
        LOG_ERROR("sebcmd", "The SEB command table " << path << " cannot be read: " << why);
        throw FileOpenException(why.toStdString());
    }
    loadInterpreters(file.readAll());
}

void SebCmdInterpreter::loadInterpreters(const QByteArray& json)
{
    if (!interpreters_.isEmpty())
        return;
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isArray())
        return;
    // Built aside and installed whole: a bad entry leaves no partial table
    // that a later start-up would never replace.
    Table table;
    const QJsonArray array = doc.array();
    for (const QJsonValue& v : array) {
        if (!v.isObject())
            continue;
        auto interp = QSharedPointer<SebCmdInterpreter>::create(v.toObject().toVariantMap());
        table.insert(interp->cmdId, interp);
    }
    interpreters_ = std::move(table);
}

void SebCmdInterpreter::clearInterpreters()
{
    interpreters_.clear();
}

QSharedPointer<SebCmdInterpreter> SebCmdInterpreter::interpreter(int cmdId)
{
    return interpreters_.value(cmdId);
}

const SebCmdInterpreter::Table& SebCmdInterpreter::interpreters()
{
    return interpreters_;
}

QStringList SebCmdInterpreter::fieldStringList() const
{
    QStringList out;
    out.reserve(decoders.size());
    for (const auto& d : decoders)
        out << (d ? d->name : QString());
    return out;
}

QString SebCmdInterpreter::toString() const
{
    // The header's values go in first, in one pass, so a "%1" in a name or
    // in a decoder's text stays as written.
    QString out = QStringLiteral("CMD Name: %1\nID: %2\nDescription: %3")
                      .arg(name, QString::number(cmdId), description);
    for (const auto& d : decoders)
        if (d)
            out += d->toString();
    return out;
}

const BaseFieldDecoder& SebCmdInterpreter::field(int i) const
{
    if (i < 0 || i >= decoders.size())
        throw std::out_of_range("SEB command " + std::to_string(cmdId) + " has no field " + std::to_string(i));
    const auto& d = decoders.at(i);
    if (!d)
        throw std::out_of_range("SEB command " + std::to_string(cmdId) + " field " + std::to_string(i)
                                + " is an empty slot");
    return *d;
}

int SebCmdInterpreter::fieldSize(int i) const
{
    return field(i).size();
}

uint32_t SebCmdInterpreter::fieldOffset(int i) const
{
    return field(i).offset;
}

QString SebCmdInterpreter::fieldName(int i) const
{
    return field(i).name;
}

QString SebCmdInterpreter::fieldDescription(int i) const
{
    return field(i).description;
}

QByteArray SebCmdInterpreter::decodeField(int i, const std::vector<unsigned char>& bytes) const
{
    return field(i).decode(bytes);
}

uint32_t SebCmdInterpreter::decodeFieldToUInt(int i, const std::vector<unsigned char>& bytes) const
{
    return field(i).decodeToUInt(bytes);
}

QString SebCmdInterpreter::decodeFieldToHexStr(int i, const std::vector<unsigned char>& bytes) const
{
    return field(i).decodeToHexStr(bytes);
}

QString SebCmdInterpreter::decodeFieldToDecStr(int i, const std::vector<unsigned char>& bytes) const
{
    return field(i).decodeToDecStr(bytes);
}

double SebCmdInterpreter::decodeFieldToSci(int i, const std::vector<unsigned char>& bytes) const
{
    return field(i).decodeToSci(bytes);
}

QString SebCmdInterpreter::decodeFieldToSciStr(int i, const std::vector<unsigned char>& bytes) const
{
    return field(i).decodeToSciStr(bytes);
}

} // namespace KorGse
