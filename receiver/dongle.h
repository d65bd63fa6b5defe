// The dongle's layout, as navdial sets it up and records it: 8-bit IQ at
// 2 MS/s, the tuner 50 kHz below the station. The carrier then lies at
// exactly 1/40 of the sample rate, so a 40-entry table holds one whole turn
// of the mixing oscillator, and a block of 40 pairs gives one envelope
// sample at 50 kHz. VOR channels lie on a 50 kHz raster too, so with the
// tuner on it every station nearby falls on a whole number of turns per
// block.
#pragma once

#include <cstdint>

constexpr uint32_t kDongleRate = 2000000;   // IQ pairs per second
constexpr int32_t kDongleOffset = 50000;    // the station above the tuner, Hz
constexpr int kDongleBlock = 40;            // IQ pairs per envelope sample: 2 MS/s to 50 kHz
constexpr uint32_t kDongleBuffer = 81920;   // bytes a buffer: 40960 pairs, 20.48 ms, 1024 envelope samples
constexpr int32_t kChannelSpacing = 50000;  // the VOR channel raster, Hz
constexpr double kEnvelopeRate = 50000.0;   // envelope samples per second
