#pragma once
// The laser family's shared per-pulse energy routines: each walks the pulse
// records of a laser pulses packet and appends one calibrated energy item per
// pulse. The per-pulse energy decoders (218, 219, 242) and the summaries over
// one packet's pulses run them; the decoder classes are in koradatai.h.
#include "koralib/archive/koradatai.h"

namespace KorGse::KorDataInterpretationImpl {

// ETU factor calibration (high selector 1 selects the ETU rows).
void decodeLaserEnergyUvEtuCalibrated(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                      const GseLib::CurrentValueTable* values);
// Flight unit calibration (high selector 0 selects its rows).
void decodeLaserEnergyUvFlightCalibrated(const DbRow& row, const GseLib::TMPacket* packet, GseLib::DataItems& items,
                                         const GseLib::CurrentValueTable* values);
// Flight spare calibration (high selector 0 selects its rows).
void decodeLaserEnergyUvFlightSpareCalibrated(const DbRow& row, const GseLib::TMPacket* packet,
                                              GseLib::DataItems& items, const GseLib::CurrentValueTable* values);

} // namespace KorGse::KorDataInterpretationImpl
