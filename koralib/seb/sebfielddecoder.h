#pragma once
// Field decoders of SEB commands: each turns the bytes of one command (from
// its sync code on) into one field's value as bytes, unsigned integer, hex and
// decimal text, and a science value with its text. SebCmdInterpreter builds
// one per field entry of seb_cmds.json and forwards its per-field calls here.
// Decoders are immutable after construction; every read past the command's
// bytes throws std::out_of_range.
#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <vector>

namespace GseLib {
class TmDatabaseRow;
}

namespace KorGse {

class BaseFieldDecoder
{
public:
    static const QString KEY_FIELD;  // "field"
    static const QString KEY_TYPE;   // "type"
    static const QString KEY_DESC;   // "description"
    static const QString KEY_OFFSET; // "offset"

    // Reads "field", "type", "description", "offset" in that order.
    explicit BaseFieldDecoder(const QMap<QString, QVariant>& field);
    virtual ~BaseFieldDecoder();
    BaseFieldDecoder(const BaseFieldDecoder&) = delete;
    BaseFieldDecoder& operator=(const BaseFieldDecoder&) = delete;

    virtual int size() const = 0;
    virtual QString toString() const;
    virtual QByteArray decode(const std::vector<unsigned char>& bytes) const = 0;
    virtual uint32_t decodeToUInt(const std::vector<unsigned char>& bytes) const = 0;
    // Each byte of decode() as two upper-case hex digits, one blank between.
    virtual QString decodeToHexStr(const std::vector<unsigned char>& bytes) const;
    virtual QString decodeToDecStr(const std::vector<unsigned char>& bytes) const;
    virtual double decodeToSci(const std::vector<unsigned char>& bytes) const;
    // "N/A": a plain field has no science value text.
    virtual QString decodeToSciStr(const std::vector<unsigned char>& bytes) const;

    const QString name;
    const uint32_t type;
    const QString description;
    const uint32_t offset; // first byte of the field within the command
};

// A plain bit field: `size` bytes from `offset` accumulated big-endian in 32
// bits (so of more than four only the last four remain), masked, then shifted
// right by `shift` (left by -shift when negative), shift counts modulo 32.
class SimpleDecoder : public BaseFieldDecoder
{
public:
    static const QString KEY_SIZE;  // "size"
    static const QString KEY_MASK;  // "mask"
    static const QString KEY_SHIFT; // "shift"

    // Then reads "size" (signed), "mask" (hex text; HexStringToIntException when
    // it is no hex number or needs more than 32 bits) and "shift".
    explicit SimpleDecoder(const QMap<QString, QVariant>& field);

    int size() const override;
    QString toString() const override;
    QByteArray decode(const std::vector<unsigned char>& bytes) const override;
    uint32_t decodeToUInt(const std::vector<unsigned char>& bytes) const override;

    // The accumulate-mask-shift rule shared with HkDecoder.
    static uint32_t extract(const std::vector<unsigned char>& bytes, uint32_t offset, int size, uint32_t mask,
                            int shift);
    // The `size` low bytes of v, big-endian (byte k from the end is v >> (8k mod 32)).
    static QByteArray toBytes(uint32_t v, int size);
    // Reads a mask text as a 32-bit hexadecimal number; throws HexStringToIntException.
    static uint32_t parseHex32(const QString& text);

    const int32_t fieldSize;
    const uint32_t mask;
    const int32_t shift;
};

// A field laid out and converted like a telemetry database row (`hkid`):
// byte length = number of byte-order entries, mask = DECODE_ID3's low 32 bits
// (all ones when 0), shift = DECODE_ID4 as signed 32 bits. Every decoding call
// looks the row up in the current interpretation hub (std::out_of_range when
// the database lacks it).
class HkDecoder : public BaseFieldDecoder
{
public:
    static const QString KEY_HKID; // "hkid"

    explicit HkDecoder(const QMap<QString, QVariant>& field);

    int size() const override;
    QString toString() const override;
    QByteArray decode(const std::vector<unsigned char>& bytes) const override;
    uint32_t decodeToUInt(const std::vector<unsigned char>& bytes) const override;
    // The raw value converted by the row to its science value (a missing
    // transfer function converts nothing).
    double decodeToSci(const std::vector<unsigned char>& bytes) const override;
    // decodeToSci as 'g'/6 followed directly by the row's SCI_UNITS.
    QString decodeToSciStr(const std::vector<unsigned char>& bytes) const override;

    const uint32_t hkid;

private:
    const GseLib::TmDatabaseRow& row() const;
    static int rowSize(const GseLib::TmDatabaseRow& row);
    uint32_t rowValue(const GseLib::TmDatabaseRow& row, const std::vector<unsigned char>& bytes) const;
};

// A DAC id field; its science text is the DAC's name in the hub's DAC table.
class DacIdDecoder : public SimpleDecoder
{
public:
    explicit DacIdDecoder(const QMap<QString, QVariant>& field);
    // The DAC's name, or "Unknown" when the table has no DAC of this id.
    QString decodeToSciStr(const std::vector<unsigned char>& bytes) const override;

    // The name of DAC `id` in the current hub's table, "Unknown" when absent.
    static QString dacName(int id);
};

// A DAC setting converted to volts by the DAC row whose id the same command
// keeps where SET_DAC_IMM keeps its DAC id (that interpreter's field 0).
class DacValueDecoder : public SimpleDecoder
{
public:
    explicit DacValueDecoder(const QMap<QString, QVariant>& field);
    // std::out_of_range when the interpreter table has no SET_DAC_IMM field 0
    // or the DAC table has no row for the id.
    double decodeToSci(const std::vector<unsigned char>& bytes) const override;
    // decodeToSci as 'g'/6 followed directly by "V".
    QString decodeToSciStr(const std::vector<unsigned char>& bytes) const override;
};

} // namespace KorGse
