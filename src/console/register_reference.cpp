#include "console/register_reference.h"

#include <charconv>
#include <optional>

#include "messages/format_text.h"

namespace quarin {

namespace {

std::optional<long> digitsValue(std::string_view digits)
{
    long value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || digits[0] == '-' || error != std::errc() ||
        end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

// Reference 4nnnnn is register nnnnn, whose address is nnnnn - 1 both on the wire and under Jbus;
// a Jbus label is that address itself.
std::string RegisterCrossReference(std::string_view label, int row, bool jbusForm, DataType type)
{
    // Rows past the count read "0"; the first row always names its register.
    if (row > 0 && label == "0") {
        return {};
    }
    char table = type == InputRegister ? '3' : '4';
    long address = 0;
    if (jbusForm) {
        const std::optional<long> value = digitsValue(label);
        if (!value) {
            return {};
        }
        address = *value;
    } else {
        if (label.size() < 6 || (label[0] != '3' && label[0] != '4')) {
            return {};
        }
        const std::optional<long> number = digitsValue(label.substr(1));
        if (!number) {
            return {};
        }
        table = label[0];
        address = *number - 1;
    }
    if (address < 0) {
        // Register 0 does not exist under Modbus; its request wraps round to the last address.
        return formatText("%c00000 names no register; the request goes to Jbus 65535 = 0xFFFF",
                          table);
    }
    std::string text = formatText("%c%05ld = Jbus %ld = 0x%04lX",
                                  table,
                                  address + 1,
                                  address,
                                  static_cast<unsigned long>(address));
    if (address > 0xFFFF) {
        text += " (beyond the 16-bit range)";
    }
    return text;
}

} // namespace quarin
