// Transfer-function parameter texts and lookup-table files come from mission
// definitions: any bytes must parse without a crash, a hang or a huge allocation.
#include "fuzzquiet.h"
#include "conversion/logtransferfunc.h"
#include "conversion/lookuptabletransferfunc.h"
#include "conversion/polytransferfunc.h"
#include "conversion/rationaltransferfunc.h"
#include "conversion/sensortransferfunc.h"
#include "conversion/transform.h"
#include "conversion/twoscomplementtransferfunc.h"
#include "tolvalib/tolvatransferfunc/tolvatransferfuncmaker.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const double kProbes[] = {-1e300, -65536.0, -1.0, 0.0, 0.5, 1.0, 32768.0, 65535.0, 4294967295.0, 1e300};

void exercise(TransferFunc& f)
{
    for (double x : kProbes)
        (void)f.apply(x);
    (void)f.asString();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzQuiet::silence();
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = QString::fromUtf8(bytes);

    std::vector<std::unique_ptr<TransferFunc>> functions;
    functions.push_back(std::make_unique<PolyTransferFunc>());
    functions.push_back(std::make_unique<PolyTransferFunc>(std::vector<double>{1.0, 2.0}));
    functions.push_back(std::make_unique<PolyTransferFunc>(std::vector<double>{}));
    functions.push_back(std::make_unique<RationalTransferFunc>());
    functions.push_back(std::make_unique<DegreesTransferFunc>());
    functions.push_back(std::make_unique<RSimDegreesTransferFunc>());
    functions.push_back(std::make_unique<PRTDegreesTransferFunc>());
    functions.push_back(std::make_unique<SenseWireTransferFunc>());
    functions.push_back(std::make_unique<ThermistorTransferFunc>());
    for (auto& f : functions) {
        f->change(text);
        exercise(*f);
    }

    // The same bytes as coefficients of the functions that read them from a list.
    std::vector<double> k(size / sizeof(double));
    if (!k.empty())
        std::memcpy(k.data(), data, k.size() * sizeof(double));
    RawToDouble raw(k);
    TwosComplementTransferFunc twos(k);
    LogTransferFunc log(k);
    NaturalLogTransferFunc ln(k);
    exercise(raw);
    exercise(twos);
    exercise(log);
    exercise(ln);

    // The second instrument's types, from the same list (of any length) and then from the text.
    TolvaTransferFuncMaker tolva;
    for (int id : {100, 101, 102, 104, 105, 106, 107}) {
        const std::shared_ptr<TransferFunc> f = tolva.makeTransferFunc(id, k, "", "");
        exercise(*f);
        f->change(text);
        exercise(*f);
    }

    Transform transform(text);
    for (double x : kProbes) {
        (void)transform.apply(x);
        (void)transform.inverse(x);
    }

    // The same bytes as a lookup table.
    static QTemporaryDir dir;
    static const bool made = QDir(dir.path()).mkpath(QStringLiteral("lookupTables"));
    if (made) {
        QFile file(dir.filePath(QStringLiteral("lookupTables/table.csv")));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            file.write(bytes);
            file.close();
            LookupTableTransferFunc table(dir.path().toStdString(), "table.csv");
            exercise(table);
            (void)table.equationAsString();
        }
    }
    return 0;
}
