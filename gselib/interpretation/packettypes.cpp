#include "gselib/interpretation/packettypes.h"

namespace GseLib {

// Placeholder until the packet-type reader lands: the table is emptied.
bool PacketTypes::load(const QString&, const DataInterpretation*)
{
    clear();
    return true;
}

bool PacketTypes::load(QList<QString>, const DataInterpretation*)
{
    clear();
    return true;
}

int PacketTypes::type(const QString& name) const
{
    for (auto it = cbegin(); it != cend(); ++it)
        if (it.value().name == name)
            return it.key();
    return -1;
}

bool PacketTypes::isValidLength(int type, int length) const
{
    const auto it = constFind(type);
    if (it == cend())
        return false;
    if (it->minLength < 0)
        return true;
    return length >= it->minLength && length <= it->maxLength;
}

QDebug operator<<(QDebug debug, const TMPacketTypeInfo& info)
{
    debug.nospace() << "TMPacketTypeInfo(Type:" << info.type << " name:" << info.name
                    << " isGse:" << (info.isGse ? "true" : "false") << " minLength:" << info.minLength
                    << " maxLength:" << info.maxLength << ")";
    return debug;
}

QDebug operator<<(QDebug debug, const PacketTypes& types)
{
    for (auto it = types.cbegin(); it != types.cend(); ++it)
        debug << it.value() << "\n";
    return debug;
}

} // namespace GseLib
