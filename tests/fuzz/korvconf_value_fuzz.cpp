// korvconf's reading of what a user types: a field name and a value, taken
// through the field table into the settings and on into the record, whose
// fields must never take more than they hold; the record taken apart again
// must show every text as it was saved.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/setup_settings.h"
#include "korvconf/conf_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvexia;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // "name=value"; without '=' the whole input is tried as both.
    auto equals = input.find('=');
    std::string_view name = equals == std::string_view::npos ? input : input.substr(0, equals);
    std::string_view value = equals == std::string_view::npos ? input : input.substr(equals + 1);

    std::vector<const conf::Field*> fields;
    if (const conf::Field* found = conf::FindField(name)) fields.push_back(found);
    for (const conf::Field& f : conf::AllFields()) fields.push_back(&f);

    for (const conf::Field* field : fields) {
        SetupSettings settings;
        MailConfig image{};
        SetDefaultSettings(settings, image);
        std::string warning;
        std::string error = conf::ApplyField(*field, value, settings, warning);
        if (!error.empty()) continue;
        if (field->text && (settings.*field->text).size() > field->takenBack) __builtin_trap();
        (void)conf::CheckSettings(settings, {field});
        BuildRecordImage(settings, image);
        SetupSettings back;
        SettingsFromRecord(image, false, back);
        if (field->text && field->fieldWidth &&
            (back.*field->text).size() > field->fieldWidth - 1)
            __builtin_trap();
        (void)conf::FormatSettings(back, image.messageCounter.get());
    }
    return 0;
}
