#include "koralib/seb/sebcmd.h"

#include "koralib/seb/sebcmdinterpreter.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace KorGse {

namespace {

const SebCmdInterpreter& interpreterOf(int id)
{
    const QSharedPointer<SebCmdInterpreter> interp = SebCmdInterpreter::interpreter(id);
    if (!interp)
        throw std::out_of_range("SEB command " + std::to_string(id) + " is not defined");
    // The table keeps its interpreters for the life of the process.
    return *interp;
}

} // namespace

SebCmd::SebCmd(int id, std::shared_ptr<std::vector<unsigned char>> bytes, int begin, int end)
    : id(id)
    , data(std::make_shared<std::vector<unsigned char>>())
{
    if (!bytes)
        return;
    const auto n = static_cast<long long>(bytes->size());
    const long long b = std::clamp<long long>(begin, 0, n);
    const long long e = std::clamp<long long>(end, b, n);
    data->assign(bytes->begin() + b, bytes->begin() + e);
}

QString SebCmd::name() const
{
    const QSharedPointer<SebCmdInterpreter> interp = SebCmdInterpreter::interpreter(id);
    return interp ? interp->name : QString();
}

double SebCmd::fieldSci(int i) const
{
    return interpreterOf(id).decodeFieldToSci(i, *data);
}

QString SebCmd::fieldSciStr(int i) const
{
    return interpreterOf(id).decodeFieldToSciStr(i, *data);
}

} // namespace KorGse
