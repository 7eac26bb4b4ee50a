// Application classification from arbitrary identifiers, names and page addresses (fields
// split at 0x1F: identifier, name, address). Raw values round-trip.
#include "FuzzSupport.h"

#include "Models/AppClassification.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 3);
    const AppType detected = AppType::detect(parts[0], parts[1]);
    Fuzz::check(fromRawValue<AppType>(rawValue(detected)) == std::optional(detected), "app type raw value round trip");
    (void)AppType::detectFromURL(parts[2]);
    const AppClassification withURL = AppClassification::classify(parts[0], parts[1], parts[2]);
    const AppClassification withoutURL = AppClassification::classify(parts[0], parts[1], std::nullopt);
    Fuzz::check(AppClassification::classify(parts[0], parts[1], parts[2]) == withURL, "classification is stable");
    (void)withoutURL;
    const AppContext context(parts[1], parts[0], parts[2], {}, {}, {}, true, {});
    (void)context;
    if (auto parsed = fromRawValue<AppType>(parts[0]))
        Fuzz::check(rawValue(*parsed) == parts[0], "a parsed raw value is the same text");
    return 0;
}
