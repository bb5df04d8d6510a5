// The .asoundrc texts that give a run its default capture device.
#pragma once

#include <string>

namespace sandbox {

// The default capture device reads `raw_file` (S16_LE 16 kHz mono, or a FIFO
// that delivers it) through ALSA's file plugin; playback goes nowhere.
inline std::string file_device(const std::string &raw_file) {
    return "pcm.!default {\n"
           "  type file\n"
           "  slave.pcm \"null\"\n"
           "  file \"/dev/null\"\n"
           "  infile \"" +
           raw_file +
           "\"\n"
           "  format \"raw\"\n"
           "}\n";
}

// The default capture device is a card that does not exist.
inline const std::string no_device = "pcm.!default {\n  type hw\n  card 99\n}\n";

} // namespace sandbox
