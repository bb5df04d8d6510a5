// The input volume the check may change: the sound server's default source
// (PulseAudio, or PipeWire through pipewire-pulse), through `pactl`; on
// plain ALSA only named, never changed.
#pragma once

#include <string>

// PulseAudio's volume scale: 65536 is 100 %; a step is cubic in amplitude.
inline constexpr long volume_norm = 65536;
// As far as desktop sound settings go above 100 %.
inline constexpr long volume_max = volume_norm * 3 / 2;

struct SourceVolume {
    std::string name;
    long volume = 0; // of the loudest channel
};

// The default source and its volume; false when no server answers.
bool read_source_volume(SourceVolume &source);

// Sets every channel of `name` to `volume`; false when that fails.
bool set_source_volume(const std::string &name, long volume);

// `volume` changed by `change_db`, kept within 1 % and volume_max.
long changed_volume(long volume, double change_db);

// The change in dB from `from` to `to`.
double volume_change_db(long from, long to);

// "65536 (100 %)".
std::string describe_volume(long volume);

// The name of the capture volume control of ALSA's default card, "" when it
// has none.
std::string capture_control_name();
