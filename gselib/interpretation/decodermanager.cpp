#include "gselib/interpretation/decodermanager.h"

namespace GseLib {

DecoderManager::DecoderManager(QObject* parent) : QObject(parent)
{
}

DecoderManager::~DecoderManager() = default;

} // namespace GseLib
