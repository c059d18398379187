#include "capture/capture_options.hpp"

#include <charconv>
#include <initializer_list>
#include <optional>

namespace brisvane {

namespace {

constexpr std::string_view USAGE =
    "Usage: brisvane-capture.exe [SOURCE] [OPTIONS]\n"
    "Captures what Windows plays and writes it on standard output as a stream of records.\n"
    "\n"
    "Source (at most one; without one: the default output device, followed when it changes):\n"
    "  --device ID            the output device with this endpoint id\n"
    "  --app PID              one application: the process PID and its child processes\n"
    "  --all-but PID          every application but the process PID and its child processes\n"
    "  --list-devices         write the active output devices, then end\n"
    "Format:\n"
    "  --rate HZ              48000 (default), 24000, 16000, 12000, 9600, 8000, 6000, 4800, 4000\n"
    "  --channels N           2 (default) or 1 (the mean of the two)\n"
    "  --sample-type T        f32 (default) or s16\n"
    "  --timeline T           exact (default) or continuous (gaps filled with silence)\n"
    "  --fill-lag MS          how far behind the clock the continuous timeline fills (default 200)\n"
    "Recovery:\n"
    "  --no-follow            stay on the device that was the default when it was opened\n"
    "  --reopen N             attempts in a row to open a lost source again (default 5; 0: none)\n"
    "  --reopen-delay MS      wait before the second attempt, doubled after it (default 250)\n"
    "  --reopen-max-delay MS  the longest wait (default 4000)\n"
    "  --help, --version      this text, or the version, on standard error\n"
    "\n"
    "Closing standard input (a pipe) ends the capture cleanly.\n";

constexpr std::uint32_t MAX_REOPEN_ATTEMPTS = 1000;
constexpr std::uint32_t MAX_DELAY_MS = 600000;
constexpr std::uint32_t MAX_FILL_LAG_MS = 10000;

std::optional<std::uint32_t> whole_number(std::string_view text, std::uint32_t low, std::uint32_t high) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::string quoted(std::string_view text) {
    std::string out;
    out += '\'';
    out += text;
    out += '\'';
    return out;
}

using Refusal = std::unexpected<std::string>;

// One option at a time, each with its value from the next argument or after '='.
class Parser {
public:
    explicit Parser(std::span<const std::string> arguments) : arguments_(arguments) {}

    std::expected<Command, std::string> parse() {
        while (at_ < arguments_.size()) {
            std::string_view argument = arguments_[at_++];
            inline_value_.reset();
            if (const auto equals = argument.find('='); argument.starts_with("--") && equals != argument.npos) {
                inline_value_ = argument.substr(equals + 1);
                argument = argument.substr(0, equals);
            }
            name_ = argument;
            if (auto taken = option(); !taken) return Refusal(std::move(taken.error()));
        }
        return command_;
    }

private:
    std::expected<void, std::string> option() {
        CaptureOptions& options = command_.options;
        if (name_ == "--help" || name_ == "--version") {
            command_.kind = name_ == "--help" ? CommandKind::Help : CommandKind::Version;
            return flag();
        }
        if (name_ == "--device") {
            if (auto chosen = source(SourceKind::Device); !chosen) return chosen;
            auto id = value();
            if (!id) return Refusal(std::move(id.error()));
            if (id->empty()) return Refusal("--device needs an endpoint id");
            options.device_id = *id;
            return {};
        }
        if (name_ == "--app" || name_ == "--all-but") {
            if (auto chosen = source(name_ == "--app" ? SourceKind::App : SourceKind::AllButApp); !chosen) return chosen;
            auto text = value();
            if (!text) return Refusal(std::move(text.error()));
            const auto pid = whole_number(*text, 1, UINT32_MAX);
            if (!pid) return Refusal(name_ + ": " + quoted(*text) + " is not a process id");
            options.process_id = *pid;
            return {};
        }
        if (name_ == "--list-devices") {
            if (auto chosen = source(SourceKind::DeviceList); !chosen) return chosen;
            return flag();
        }
        if (name_ == "--rate") {
            auto text = value();
            if (!text) return Refusal(std::move(text.error()));
            const auto rate = whole_number(*text, 1, ENGINE_RATE);
            if (!rate || !is_supported_rate(*rate)) {
                return Refusal("--rate: " + quoted(*text) + " is not one of 48000, 24000, 16000, 12000, 9600, 8000, 6000, 4800, 4000");
            }
            options.format.rate = *rate;
            return {};
        }
        if (name_ == "--channels") {
            return choice({"1", "2"}, "1 or 2", [&](std::size_t i) { options.format.channels = i == 0 ? 1 : 2; });
        }
        if (name_ == "--sample-type") {
            return choice({"f32", "s16"}, "f32 or s16", [&](std::size_t i) {
                options.format.sample_type = i == 0 ? SampleType::F32 : SampleType::S16;
            });
        }
        if (name_ == "--timeline") {
            return choice({"exact", "continuous"}, "exact or continuous", [&](std::size_t i) {
                options.timeline = i == 0 ? TimelineMode::Exact : TimelineMode::Continuous;
            });
        }
        if (name_ == "--no-follow") {
            options.follow_default = false;
            return flag();
        }
        if (name_ == "--fill-lag") return number(0, MAX_FILL_LAG_MS, options.fill_lag_ms);
        if (name_ == "--reopen") return number(0, MAX_REOPEN_ATTEMPTS, options.reopen.attempts);
        if (name_ == "--reopen-delay") return number(0, MAX_DELAY_MS, options.reopen.delay_ms);
        if (name_ == "--reopen-max-delay") return number(0, MAX_DELAY_MS, options.reopen.max_delay_ms);
        if (name_.starts_with("-")) return Refusal("unknown option " + quoted(name_));
        return Refusal("unexpected argument " + quoted(name_));
    }

    std::expected<std::string_view, std::string> value() {
        if (inline_value_) return *inline_value_;
        if (at_ == arguments_.size()) return Refusal(name_ + " needs a value");
        return std::string_view(arguments_[at_++]);
    }

    std::expected<void, std::string> flag() const {
        if (inline_value_) return Refusal(name_ + " takes no value");
        return {};
    }

    std::expected<void, std::string> source(SourceKind kind) {
        if (source_option_) return Refusal("choose one source, not " + *source_option_ + " and " + name_);
        source_option_ = name_;
        command_.options.source = kind;
        return {};
    }

    template <class Take>
    std::expected<void, std::string> choice(std::initializer_list<std::string_view> values, std::string_view described,
                                            Take take) {
        auto text = value();
        if (!text) return Refusal(std::move(text.error()));
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (*text == values.begin()[i]) {
                take(i);
                return {};
            }
        }
        return Refusal(name_ + ": " + quoted(*text) + " is not " + std::string(described));
    }

    std::expected<void, std::string> number(std::uint32_t low, std::uint32_t high, std::uint32_t& target) {
        auto text = value();
        if (!text) return Refusal(std::move(text.error()));
        const auto parsed = whole_number(*text, low, high);
        if (!parsed) {
            return Refusal(name_ + ": " + quoted(*text) + " is not a whole number from " + std::to_string(low) +
                           " to " + std::to_string(high));
        }
        target = *parsed;
        return {};
    }

    std::span<const std::string> arguments_;
    std::size_t at_ = 0;
    std::string name_;
    std::optional<std::string_view> inline_value_;
    std::optional<std::string> source_option_;
    Command command_;
};

}  // namespace

std::expected<Command, std::string> parse_command_line(std::span<const std::string> arguments) {
    return Parser(arguments).parse();
}

std::string_view usage_text() { return USAGE; }

}  // namespace brisvane
