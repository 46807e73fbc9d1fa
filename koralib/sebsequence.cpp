#include "koralib/sebsequence.h"

namespace KorGse {

SebSequence::SebSequence() = default;

} // namespace KorGse
