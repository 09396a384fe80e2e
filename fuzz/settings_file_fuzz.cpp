// Quarin.ini from the input: the loader through the window's opening with every console rule it
// runs, then Exit's save, and the saved file loaded and saved once more.

#include <string>
#include <vector>

#include "harness.h"
#include "persistence/settings_file.h"

namespace quarin::fuzz {

namespace {

// Lines as the loader takes them: each ends at CR, whose next byte goes with it, or at LF; a
// last line without either ends with the file.
std::vector<std::string> Lines(std::string_view file)
{
    std::vector<std::string> lines;
    std::string line;
    bool open = false;
    for (std::size_t at = 0; at < file.size() && lines.size() < 14; ++at) {
        const char c = file[at];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            open = false;
            at += c == '\r' ? 1 : 0;
        } else {
            line += c;
            open = true;
        }
    }
    if (open && lines.size() < 14) {
        lines.push_back(line);
    }
    return lines;
}

bool IsDecimal(std::string_view text)
{
    if (!text.empty() && text.front() == '-') {
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Exit from a compatible console writes fourteen CR LF lines: numbers, and the address as loaded.
std::string SaveAndCheck(Console& console, const std::string& address)
{
    console.dlg.onExit();
    Check(console.view.closed(), "Exit did not close the window");
    const auto it = console.fp.files.files.find("Quarin.ini");
    Check(it != console.fp.files.files.end(), "Exit saved no settings file");
    const std::string& saved = it->second;
    std::size_t at = 0;
    for (int line = 1; line <= 14; ++line) {
        const std::size_t end = saved.find("\r\n", at);
        Check(end != std::string::npos, "the saved file has fewer than fourteen lines");
        const std::string_view text(saved.data() + at, end - at);
        Check(line == 9 ? text == address : IsDecimal(text), "a saved line is not as loaded");
        at = end + 2;
    }
    Check(at == saved.size(), "the saved file has more than fourteen lines");
    Check(ReadSettingsLines(saved).size() == 14, "the saved file does not read back whole");
    return saved;
}

} // namespace

} // namespace quarin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quarin;
    using namespace quarin::fuzz;
    const ExactInput input(data, size);
    const std::string file(input.text());
    const std::vector<std::string> lines = Lines(input.text());
    Check(ReadSettingsLines(input.text()) == lines, "the lines were split differently");

    Console console(file);
    const bool compatible = lines.size() == 14;
    Check(console.compatible == compatible, "the file was judged wrongly");
    if (!compatible) {
        Check(console.view.boxTexts() ==
                  std::vector<std::string>{
                      "Incompatible ini file detected.\nQuarin will close and "
                      "delete Quarin.ini file.\nDefaults will be used next time."},
              "an incompatible file did not give its one message");
        Check(console.fp.files.files.count("Quarin.ini") == 0,
              "an incompatible file was not deleted");
        return 0;
    }
    Check(console.view.boxes().empty(), "loading a compatible file showed a message");
    const std::string saved = SaveAndCheck(console, lines[8]);

    // What Exit wrote loads without a message and saves again byte for byte.
    Console again(saved);
    Check(again.compatible, "a saved file was refused");
    Check(again.view.boxes().empty(), "loading a saved file showed a message");
    Check(SaveAndCheck(again, lines[8]) == saved, "saving a loaded file changed it");
    return 0;
}
