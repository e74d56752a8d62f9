#include "tools/common/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "tools/common/exit_status.h"

namespace command_line {
namespace {

// getopt_long's code for options[i] is kFirstLong + i, above every letter.
constexpr int kFirstLong = 0x100;

template <typename T>
std::optional<T> WholeText(std::string_view text) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

std::string Needs(const Option& option) {
    return std::string("--") + option.name + " needs " + (option.needs ? option.needs : "a value");
}

// getopt_long also takes an unambiguous abbreviation ("--tick" for
// "--tick-ms"); here a mistyped option must not quietly mean another one.
bool WrittenOut(const Option& option, const char* text) {
    const std::string_view given(text, std::strcspn(text, "="));
    return given.substr(0, 2) == "--" && given.substr(2) == option.name;
}

// What getopt_long refused, in the words of the tools' messages.
std::string Refusal(int code, const std::vector<Option>& options, const char* text) {
    const std::size_t index = static_cast<std::size_t>(optopt - kFirstLong);
    if (optopt >= kFirstLong && !WrittenOut(options[index], text))
        return std::string("unknown option ") + text;
    if (code == ':' && optopt >= kFirstLong) return Needs(options[index]);
    if (optopt >= kFirstLong) return std::string("--") + options[index].name + " takes no value";
    if (optopt != 0) return std::string("unknown option -") + static_cast<char>(optopt);
    return std::string("unknown option ") + text;
}

// The option getopt_long just took, as written: "--name", "--name=VALUE" or "-x".
const char* TakenText(char** argv) {
    return optarg != nullptr && optarg == argv[optind - 1] ? argv[optind - 2] : argv[optind - 1];
}

// The index in `options` of what getopt_long returned as `code`.
std::size_t IndexOf(int code, const std::vector<Option>& options) {
    if (code >= kFirstLong) return static_cast<std::size_t>(code - kFirstLong);
    const auto letter = [code](const Option& o) { return o.letter == code; };
    return static_cast<std::size_t>(std::find_if(options.begin(), options.end(), letter) -
                                    options.begin());
}

}  // namespace

std::optional<long long> ParseInteger(std::string_view text, long long min, long long max) {
    // from_chars reads "-0" as 0: a count or a port written with a minus is refused all the same.
    if (min >= 0 && text.substr(0, 1) == "-") return std::nullopt;
    const std::optional<long long> n = WholeText<long long>(text);
    if (!n || *n < min || *n > max) return std::nullopt;
    return n;
}

std::string Walk(const std::vector<std::string>& args, const std::vector<Option>& options,
                 const Operand& operand) {
    std::vector<std::string> texts = {"program"};
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& t : texts) argv.push_back(t.data());
    argv.push_back(nullptr);
    // '-': other arguments come back in order (code 1), whatever
    // POSIXLY_CORRECT says; ':': a missing value is told apart, not printed.
    std::string letters = "-:";
    std::vector<option> table;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const int has_value = options[i].value ? required_argument : no_argument;
        table.push_back({options[i].name, has_value, nullptr, kFirstLong + static_cast<int>(i)});
        if (options[i].letter != 0) letters += options[i].letter;
    }
    table.push_back({});
    const int argc = static_cast<int>(texts.size());
    optind = 0;  // a fresh start, also for a second command line
    opterr = 0;
    std::string fault;
    const auto take_operand = [&operand, &fault](const char* text) {
        fault = std::string("unexpected argument ") + text;
        return operand && operand(text, &fault);
    };
    for (int code;
         (code = getopt_long(argc, argv.data(), letters.c_str(), table.data(), nullptr)) != -1;) {
        if (code == 1) {
            if (!take_operand(optarg)) return fault;
            continue;
        }
        if (code == '?' || code == ':') return Refusal(code, options, argv[optind - 1]);
        const Option& taken = options[IndexOf(code, options)];
        if (code >= kFirstLong && !WrittenOut(taken, TakenText(argv.data()))) {
            return std::string("unknown option ") + TakenText(argv.data());
        }
        fault = Needs(taken);
        if (!taken.take(optarg ? optarg : "", &fault)) return fault;
    }
    for (int i = optind; i < argc; ++i) {  // after "--"
        if (!take_operand(argv[i])) return fault;
    }
    return "";
}

std::string Help(const std::vector<Option>& options, std::size_t column) {
    std::string text;
    for (const Option& o : options) {
        if (o.help == nullptr) continue;
        std::string line =
            std::string("  --") + o.name + (o.value ? std::string(" ") + o.value : "");
        line.resize(line.size() < column ? column : line.size() + 2, ' ');
        for (const char* c = o.help; *c != '\0'; ++c) {
            line += *c;
            if (*c == '\n') line.append(column, ' ');
        }
        text += line + "\n";
    }
    return text;
}

Take Flag(bool* target, bool value) {
    return [=](const std::string&, std::string*) {
        *target = value;
        return true;
    };
}

Take Text(std::string* target, bool empty_allowed) {
    return [=](const std::string& text, std::string*) {
        *target = text;
        return empty_allowed || !text.empty();
    };
}

Take Seconds(double* target) {
    return [=](const std::string& text, std::string*) {
        const std::optional<double> s = WholeText<double>(text);
        if (!s || !(*s > 0) || *s > 1e7) return false;
        *target = *s;
        return true;
    };
}

int RunSubCommand(const console::Console& console, const std::string& usage, bool help,
                  const std::string& fault, const std::function<int()>& run) {
    if (help) {
        console.Record(usage);
        return exit_status::kOk;
    }
    if (!fault.empty()) {
        console.Problem(fault + " (--help lists the options)");
        return exit_status::kUsage;
    }
    return run();
}

}  // namespace command_line
