#include "koralib/seb/sebfielddecoder.h"

#include "gselib/database/dactable.h"
#include "gselib/database/telemetrydatabase.h"
#include "gselib/database/tmdatabaserow.h"
#include "gselib/interpretation/datainterpretation.h"
#include "koralib/seb/sebcmd.h"
#include "koralib/seb/sebcmdinterpreter.h"
#include "tools/util/jsonutil.h"
#include "tools/util/parsingexception.h"

#include <stdexcept>

namespace KorGse {

const QString BaseFieldDecoder::KEY_FIELD = QStringLiteral("field");
const QString BaseFieldDecoder::KEY_TYPE = QStringLiteral("type");
const QString BaseFieldDecoder::KEY_DESC = QStringLiteral("description");
const QString BaseFieldDecoder::KEY_OFFSET = QStringLiteral("offset");
const QString SimpleDecoder::KEY_SIZE = QStringLiteral("size");
const QString SimpleDecoder::KEY_MASK = QStringLiteral("mask");
const QString SimpleDecoder::KEY_SHIFT = QStringLiteral("shift");
const QString HkDecoder::KEY_HKID = QStringLiteral("hkid");

namespace {

QString sciText(double v)
{
    return QString::number(v, 'g', 6);
}

} // namespace

// ---- BaseFieldDecoder ----------------------------------------------------

// The members are initialised in declaration order, which is the order the
// keys are read in (a missing "field" is reported before a missing "type").
BaseFieldDecoder::BaseFieldDecoder(const QMap<QString, QVariant>& field)
    : name(JsonUtil::extractStringFromMap(field, KEY_FIELD))
    , type(JsonUtil::extractUIntFromMap(field, KEY_TYPE))
    , description(JsonUtil::extractStringFromMap(field, KEY_DESC))
    , offset(JsonUtil::extractUIntFromMap(field, KEY_OFFSET))
{
}

BaseFieldDecoder::~BaseFieldDecoder() = default;

QString BaseFieldDecoder::toString() const
{
    // One pass: a "%1" inside the name or description stays as it is.
    return QStringLiteral("Name: %1\nType: %2\nOffset: %3\nDesc: %4\n")
        .arg(name, QString::number(type), QString::number(offset), description);
}

QString BaseFieldDecoder::decodeToHexStr(const std::vector<unsigned char>& bytes) const
{
    const QByteArray v = decode(bytes);
    QString out;
    out.reserve(v.size() * 3);
    static const char digits[] = "0123456789ABCDEF";
    for (const char c : v) {
        if (!out.isEmpty())
            out += QLatin1Char(' ');
        const auto b = static_cast<unsigned char>(c);
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 0xF]);
    }
    return out;
}

QString BaseFieldDecoder::decodeToDecStr(const std::vector<unsigned char>& bytes) const
{
    return QString::number(decodeToUInt(bytes));
}

double BaseFieldDecoder::decodeToSci(const std::vector<unsigned char>& bytes) const
{
    return static_cast<double>(decodeToUInt(bytes));
}

QString BaseFieldDecoder::decodeToSciStr(const std::vector<unsigned char>&) const
{
    return QStringLiteral("N/A");
}

// ---- SimpleDecoder -------------------------------------------------------

SimpleDecoder::SimpleDecoder(const QMap<QString, QVariant>& field)
    : BaseFieldDecoder(field)
    , fieldSize(JsonUtil::extractIntFromMap(field, KEY_SIZE))
    , mask(parseHex32(JsonUtil::extractStringFromMap(field, KEY_MASK)))
    , shift(JsonUtil::extractIntFromMap(field, KEY_SHIFT))
{
}

uint32_t SimpleDecoder::parseHex32(const QString& text)
{
    bool ok = false;
    const uint32_t v = text.toUInt(&ok, 16);
    if (!ok)
        throw HexStringToIntException(text.toStdString());
    return v;
}

uint32_t SimpleDecoder::extract(const std::vector<unsigned char>& bytes, uint32_t offset, int size, uint32_t mask,
                                int shift)
{
    uint32_t v = 0;
    // 64-bit positions: offset + k cannot wrap, and the first byte the command
    // lacks ends the loop, so a huge size costs no more than the command.
    for (uint64_t k = 0; k < static_cast<uint64_t>(size > 0 ? size : 0); ++k)
        v = (v << 8) | bytes.at(static_cast<size_t>(uint64_t(offset) + k));
    v &= mask;
    if (shift >= 0)
        v >>= (shift % 32);
    else
        v <<= static_cast<int>((-static_cast<int64_t>(shift)) % 32);
    return v;
}

QByteArray SimpleDecoder::toBytes(uint32_t v, int size)
{
    if (size <= 0)
        return {};
    QByteArray out(size, '\0');
    for (int k = 0; k < size; ++k)
        out[size - 1 - k] = static_cast<char>((v >> ((8 * static_cast<int64_t>(k)) % 32)) & 0xFF);
    return out;
}

int SimpleDecoder::size() const
{
    return fieldSize;
}

QString SimpleDecoder::toString() const
{
    return BaseFieldDecoder::toString()
        + QStringLiteral("Size: %1\nMask: %2\nShift: %3\n")
              .arg(QString::number(fieldSize), QString::number(mask, 16).toUpper(), QString::number(shift));
}

uint32_t SimpleDecoder::decodeToUInt(const std::vector<unsigned char>& bytes) const
{
    return extract(bytes, offset, fieldSize, mask, shift);
}

QByteArray SimpleDecoder::decode(const std::vector<unsigned char>& bytes) const
{
    return toBytes(decodeToUInt(bytes), fieldSize);
}

// ---- HkDecoder -----------------------------------------------------------

HkDecoder::HkDecoder(const QMap<QString, QVariant>& field)
    : BaseFieldDecoder(field)
    , hkid(JsonUtil::extractUIntFromMap(field, KEY_HKID))
{
}

const GseLib::TmDatabaseRow& HkDecoder::row() const
{
    return GseLib::DataInterpretation::current()->db()->row(hkid);
}

int HkDecoder::rowSize(const GseLib::TmDatabaseRow& row)
{
    return static_cast<int>(row.byteOrder.size());
}

uint32_t HkDecoder::rowValue(const GseLib::TmDatabaseRow& row, const std::vector<unsigned char>& bytes) const
{
    const unsigned long long id3 = row.decodeIds.size() > 2 ? row.decodeIds[2] : 0;
    const unsigned long long id4 = row.decodeIds.size() > 3 ? row.decodeIds[3] : 0;
    // The database reads a zero mask as "all bits".
    const uint32_t m = id3 == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(id3);
    const auto s = static_cast<int32_t>(static_cast<uint32_t>(id4));
    return SimpleDecoder::extract(bytes, offset, rowSize(row), m, s);
}

int HkDecoder::size() const
{
    return rowSize(row());
}

QString HkDecoder::toString() const
{
    return BaseFieldDecoder::toString() + QStringLiteral("HKID: %1\n").arg(hkid);
}

uint32_t HkDecoder::decodeToUInt(const std::vector<unsigned char>& bytes) const
{
    return rowValue(row(), bytes);
}

QByteArray HkDecoder::decode(const std::vector<unsigned char>& bytes) const
{
    const GseLib::TmDatabaseRow& r = row();
    return SimpleDecoder::toBytes(rowValue(r, bytes), rowSize(r));
}

double HkDecoder::decodeToSci(const std::vector<unsigned char>& bytes) const
{
    const GseLib::TmDatabaseRow& r = row();
    return r.convertValue(static_cast<double>(rowValue(r, bytes)), Gse::Sci);
}

QString HkDecoder::decodeToSciStr(const std::vector<unsigned char>& bytes) const
{
    const GseLib::TmDatabaseRow& r = row();
    const double v = r.convertValue(static_cast<double>(rowValue(r, bytes)), Gse::Sci);
    return sciText(v) + r.units(Gse::Sci);
}

// ---- DacIdDecoder --------------------------------------------------------

DacIdDecoder::DacIdDecoder(const QMap<QString, QVariant>& field)
    : SimpleDecoder(field)
{
}

QString DacIdDecoder::dacName(int id)
{
    const auto& table = GseLib::DataInterpretation::current()->dacTable;
    if (!table)
        return QString::fromLatin1(GseLib::DacTable::unknown);
    try {
        const QByteArray& name = table->row(id).name;
        const qsizetype nul = name.indexOf('\0');
        return QString::fromUtf8(nul < 0 ? name : name.left(nul));
    } catch (const std::out_of_range&) {
        return QString::fromLatin1(GseLib::DacTable::unknown);
    }
}

QString DacIdDecoder::decodeToSciStr(const std::vector<unsigned char>& bytes) const
{
    return dacName(static_cast<int32_t>(decodeToUInt(bytes)));
}

// ---- DacValueDecoder -----------------------------------------------------

DacValueDecoder::DacValueDecoder(const QMap<QString, QVariant>& field)
    : SimpleDecoder(field)
{
}

double DacValueDecoder::decodeToSci(const std::vector<unsigned char>& bytes) const
{
    const QSharedPointer<SebCmdInterpreter> setDac = SebCmdInterpreter::interpreter(SebCmd::SET_DAC_IMM);
    if (!setDac)
        throw std::out_of_range("no SET_DAC_IMM command to read the DAC id with");
    const auto id = static_cast<int32_t>(setDac->decodeFieldToUInt(0, bytes));
    const auto& table = GseLib::DataInterpretation::current()->dacTable;
    if (!table)
        throw std::out_of_range(GseLib::DacTable::unknown.toStdString());
    const GseLib::DacTableRow& row = table->row(id);
    const uint32_t counts = decodeToUInt(bytes) & row.mask;
    return row.toValue(static_cast<long long>(counts));
}

QString DacValueDecoder::decodeToSciStr(const std::vector<unsigned char>& bytes) const
{
    return sciText(decodeToSci(bytes)) + QStringLiteral("V");
}

} // namespace KorGse
