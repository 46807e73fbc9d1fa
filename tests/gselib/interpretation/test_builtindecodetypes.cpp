// The table of built-in decode types against the decoders the makers really
// make: each maker makes exactly its rows, each class at its own number, and
// a load of every built-in maker into one hub replaces no decoder. The order
// check that keeps the table free of shared numbers is pinned too.
#include "gselib/interpretation/builtindecodetypes.h"

#include "gselib/interpretation/datainterpretation.h"
#include "koralib/archive/koradatai.h"
#include "plugins/genericdecoder/genericdecodermaker.h"
#include "support/logcapture.h"
#include "tolvalib/tolvadecoder/tolvadecodermaker.h"
#include "tools/util/pluginmanager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <cxxabi.h>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

using GseLib::BUILTIN_DECODE_TYPES;
using GseLib::BuiltinDecoderMaker;
using GseLib::BuiltinDecodeType;

namespace {

using Decoders = std::vector<std::shared_ptr<const GseLib::Decoder>>;

Decoders adopt(const std::vector<GseLib::Decoder*>& made)
{
    return Decoders(made.begin(), made.end());
}

// The first instrument files its decoders into a hub; what the hub holds is what it made.
Decoders koraDecoders()
{
    KorGse::KorDataInterpretation hub;
    TestSupport::LogCapture log;
    hub.populateCustomDecoders();
    EXPECT_EQ(log.count("Replaced decoder type"), 0);
    Decoders out;
    for (const auto& d : hub.decoderTable())
        if (d)
            out.push_back(d);
    return out;
}

// The class name without its namespaces.
std::string className(const GseLib::Decoder& d)
{
    int status = 0;
    char* full = abi::__cxa_demangle(typeid(d).name(), nullptr, nullptr, &status);
    std::string name = status == 0 && full ? full : typeid(d).name();
    std::free(full);
    const std::size_t colon = name.rfind("::");
    return colon == std::string::npos ? name : name.substr(colon + 2);
}

std::vector<const BuiltinDecodeType*> rowsOf(BuiltinDecoderMaker maker)
{
    std::vector<const BuiltinDecodeType*> rows;
    for (const BuiltinDecodeType& row : BUILTIN_DECODE_TYPES)
        if (row.maker == maker)
            rows.push_back(&row);
    return rows;
}

} // namespace

TEST(BuiltinDecodeTypes, EachMakerMakesItsRowsEachClassAtItsNumber)
{
    struct Maker
    {
        const char* name;
        BuiltinDecoderMaker maker;
        Decoders (*make)();
    };
    const Maker makers[] = {
        {"generic", BuiltinDecoderMaker::GenericDecoderMaker,
         [] { return adopt(GenericDecoderMaker().makeDecoders()); }},
        {"tolva", BuiltinDecoderMaker::TolvaDecoderMaker,
         [] { return adopt(TolvaDecoderMaker().makeDecoders()); }},
        {"kora", BuiltinDecoderMaker::KorDataInterpretation, koraDecoders},
    };
    for (const Maker& m : makers) {
        Decoders made = m.make();
        std::sort(made.begin(), made.end(), [](const auto& a, const auto& b) { return a->type() < b->type(); });
        const std::vector<const BuiltinDecodeType*> rows = rowsOf(m.maker);
        ASSERT_EQ(made.size(), rows.size()) << m.name;
        EXPECT_EQ(rows.size(), GseLib::builtinDecoderCount(m.maker)) << m.name;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(made[i]->type(), rows[i]->type) << m.name << " " << rows[i]->className;
            EXPECT_EQ(className(*made[i]), rows[i]->className) << m.name << " type " << rows[i]->type;
        }
    }
    EXPECT_EQ(KorGse::KorDataInterpretationImpl::DECODER_COUNT,
              int(rowsOf(BuiltinDecoderMaker::KorDataInterpretation).size()));
}

// As a definitions load of the first instrument files them: its own decoders,
// then every static decoder plugin of the library. A plugin decoder with a
// number outside the table, or one sharing a number, shows here.
TEST(BuiltinDecodeTypes, ALoadOfEveryBuiltInMakerReplacesNoDecoder)
{
    QObject owner;
    PluginManager manager{&owner};
    manager.loadPlugins(QStringList{});
    KorGse::KorDataInterpretation hub;
    TestSupport::LogCapture log;
    hub.loadDecoderPlugins(&manager);
    EXPECT_EQ(log.count("Replaced decoder type"), 0) << log.texts().join("\n").toStdString();
    EXPECT_EQ(log.count("Refused decoder type"), 0);

    const auto& table = hub.decoderTable();
    std::size_t filed = 0;
    for (const auto& d : table)
        filed += d ? 1 : 0;
    EXPECT_EQ(filed, std::size(BUILTIN_DECODE_TYPES));
    for (const BuiltinDecodeType& row : BUILTIN_DECODE_TYPES) {
        ASSERT_LT(std::size_t(row.type), table.size()) << row.className;
        ASSERT_NE(table[std::size_t(row.type)], nullptr) << row.className;
        EXPECT_EQ(className(*table[std::size_t(row.type)]), row.className) << row.type;
    }
}

TEST(BuiltinDecodeTypes, TheOrderCheckRejectsASharedNumber)
{
    using M = BuiltinDecoderMaker;
    static constexpr BuiltinDecodeType ascending[] = {{1, M::GenericDecoderMaker, "A"},
                                                      {100, M::TolvaDecoderMaker, "B"}};
    static constexpr BuiltinDecodeType shared[] = {{100, M::GenericDecoderMaker, "A"},
                                                   {100, M::TolvaDecoderMaker, "B"}};
    static constexpr BuiltinDecodeType unordered[] = {{100, M::TolvaDecoderMaker, "B"},
                                                      {1, M::GenericDecoderMaker, "A"}};
    static constexpr BuiltinDecodeType zero[] = {{0, M::GenericDecoderMaker, "A"}};
    // The header asserts the same of the table, so a shared number does not compile.
    static_assert(!GseLib::decodeTypesAscend(shared));
    const struct
    {
        const char* name;
        std::span<const BuiltinDecodeType> rows;
        bool ascend;
    } cases[] = {
        {"ascending", ascending, true},
        {"one number twice", shared, false},
        {"out of order", unordered, false},
        {"type 0", zero, false},
        {"the library's table", BUILTIN_DECODE_TYPES, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GseLib::decodeTypesAscend(c.rows), c.ascend) << c.name;
}
