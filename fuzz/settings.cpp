// The settings file and the server's copy of the settings: arbitrary bytes through the decoder,
// and every accepted value must survive encode -> decode unchanged.
#include "FuzzSupport.h"

#include "Models/VantroseSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    Fuzz::checkRoundTrip<VantroseSettings>(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)),
                                           "settings round trip");
    return 0;
}
