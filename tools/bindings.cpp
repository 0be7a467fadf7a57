#include "bindings.h"

#include "calltable.h"
#include "frames.h"
#include "values.h"

#include <cctype>
#include <limits>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

namespace cropassist {

namespace {

using quarn::tellan_api::calls::ArgumentNames;

std::string upper(std::string name) {
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

// Where one argument of a call comes from on the command line, and how it shows in the report.
// `positional` arguments are the words after the subcommand, in order.
template <typename T>
struct Parameter;

// A string names a device.
template <>
struct Parameter<const char*> {
    static constexpr bool positional = true;
    static std::string synopsis(const std::string& name) { return upper(name); }
    Parameter(const Arguments& a, std::size_t word, const std::string&)
        : text(a.positional[word]) {}
    const char* get() const { return text.c_str(); }
    void describe(const std::string& name, Object& context) const {
        context.emplace_back(name, text);
    }
    std::string text;
};

template <>
struct Parameter<bool> {
    static constexpr bool positional = true;
    static std::string synopsis(const std::string&) { return "on|off"; }
    Parameter(const Arguments& a, std::size_t word, const std::string& name)
        : on(parseSwitch("the " + name, a.positional[word])) {}
    bool get() const { return on; }
    void describe(const std::string& name, Object& context) const {
        context.emplace_back(name, on);
    }
    bool on;
};

template <>
struct Parameter<TellanMode> {
    static constexpr bool positional = true;
    static std::string synopsis(const std::string&) { return "MODE"; }
    Parameter(const Arguments& a, std::size_t word, const std::string&)
        : mode(parseMode(a.positional[word])) {}
    TellanMode get() const { return mode; }
    void describe(const std::string& name, Object& context) const {
        context.emplace_back(name, static_cast<int>(mode));
    }
    TellanMode mode;
};

template <>
struct Parameter<float> {
    static constexpr bool positional = true;
    static std::string synopsis(const std::string& name) { return upper(name); }
    Parameter(const Arguments& a, std::size_t word, const std::string& name)
        : value(parseFloat("the " + name, a.positional[word])) {}
    float get() const { return value; }
    void describe(const std::string& name, Object& context) const {
        context.emplace_back(name, value);
    }
    float value;
};

std::string requiredOption(const Arguments& a, const char* name) {
    const auto it = a.options.find(name);
    if (it == a.options.end()) {
        throw UsageError(std::string("missing ") + name);
    }
    return it->second;
}

// A frame comes from a file named by options, with its geometry.
template <>
struct Parameter<TellanFrame> {
    static constexpr bool positional = false;
    static std::string synopsis(const std::string&) {
        return "--file FILE --width W --height H [--pixfmt 1|2]";
    }
    Parameter(const Arguments& a, std::size_t, const std::string&)
        : path(requiredOption(a, "--file")) {
        constexpr std::int64_t maxSide = std::numeric_limits<std::uint32_t>::max();
        const auto width = static_cast<std::uint32_t>(
            parseInteger("the width", requiredOption(a, "--width"), 1, maxSide));
        const auto height = static_cast<std::uint32_t>(
            parseInteger("the height", requiredOption(a, "--height"), 1, maxSide));
        const auto found = a.options.find("--pixfmt");
        const std::uint32_t pixfmt = found == a.options.end() ? std::uint32_t{TELLAN_PIXFMT_YUYV}
                                                              : parsePixelFormat(found->second);
        frame = readFrameFile(path, width, height, pixfmt);
    }
    TellanFrame get() const {
        return TellanFrame{frame.pixels.data(), frame.width, frame.height, frame.pixfmt};
    }
    void describe(const std::string&, Object& context) const { context.emplace_back("file", path); }
    std::string path;
    RawFrame frame;
};

Value reported(bool value) {
    return value;
}
Value reported(float value) {
    return value;
}
Value reported(TellanMode mode) {
    const Value number(static_cast<int>(mode));
    return *modeName(mode) ? number.withNote(modeName(mode)) : number;
}
Value reported(const TellanROI& roi) {
    return Object{{"x", roi.x}, {"y", roi.y}, {"width", roi.width}, {"height", roi.height}};
}
Value reported(const TellanDeviceInfo& device) {
    return Object{{"sn", device.sn}, {"name", device.name}, {"id", device.id}};
}

// An out-parameter, reported under its name; a device record by its members.
template <typename T>
struct Parameter<T*> {
    static constexpr bool positional = false;
    static std::string synopsis(const std::string&) { return ""; }
    Parameter(const Arguments&, std::size_t, const std::string&) {}
    T* get() { return &value; }
    void describe(const std::string&, Object&) const {}
    T value{};
};

template <typename T>
constexpr bool isOut = std::is_pointer_v<T> && !std::is_const_v<std::remove_pointer_t<T>>;

// The call of one line of the table, bound to its checked arguments.
template <typename... A>
class BoundCall {
public:
    using Call = int (*)(A...);

    static std::string synopsis(const ArgumentNames& names) {
        std::string text;
        std::size_t i = 0;
        for (const std::string& word : {Parameter<A>::synopsis(names[i++])...}) {
            if (!word.empty())
                text += (text.empty() ? "" : " ") + word;
        }
        return text;
    }
    static std::size_t positionalCount() {
        return (std::size_t{Parameter<A>::positional} + ... + 0);
    }
    static std::vector<const char*> options() {
        if constexpr ((std::is_same_v<A, TellanFrame> || ...))
            return {"--file", "--width", "--height", "--pixfmt"};
        else
            return {};
    }
    // Answered from the device registry: the calls that hand out device records.
    static constexpr bool readsRegistry =
        (std::is_same_v<std::remove_cv_t<std::remove_pointer_t<std::remove_pointer_t<A>>>,
                        TellanDeviceInfo> ||
         ...);

    BoundCall(Call call, const ArgumentNames& names, const Arguments& a)
        : BoundCall(call, names, a, std::index_sequence_for<A...>()) {}

    Report operator()(std::string command) {
        const int code = std::apply([&](auto&... p) { return call_(p.get()...); }, parameters_);
        Report report{std::move(command), {}, code, {}};
        describe(report, std::index_sequence_for<A...>());
        return report;
    }

private:
    template <std::size_t... I>
    BoundCall(Call call, const ArgumentNames& names, const Arguments& a, std::index_sequence<I...>)
        : call_(call), names_(names), parameters_(Parameter<A>(a, wordOf<I>(), names[I])...) {}

    // The positional word of argument I: the positional arguments before it.
    template <std::size_t I>
    static constexpr std::size_t wordOf() {
        constexpr bool positional[] = {Parameter<A>::positional..., false};
        std::size_t word = 0;
        for (std::size_t i = 0; i < I; ++i)
            word += positional[i] ? 1 : 0;
        return word;
    }

    template <std::size_t... I>
    void describe(Report& report, std::index_sequence<I...>) const {
        (describeOne<I>(report), ...);
    }

    template <std::size_t I>
    void describeOne(Report& report) const {
        using T = std::tuple_element_t<I, std::tuple<A...>>;
        const auto& parameter = std::get<I>(parameters_);
        const std::string name = names_[I];
        if constexpr (!isOut<T>) {
            parameter.describe(name, report.context);
        } else if (report.code == CROP_ASSIST_OK) {
            using Target = std::remove_pointer_t<T>;
            if constexpr (std::is_pointer_v<Target>) {
                // An array; its count is the next argument.
                Array items;
                for (int i = 0; i < std::get<I + 1>(parameters_).value; ++i)
                    items.push_back(reported(parameter.value[i]));
                report.values.emplace_back(name, std::move(items));
            } else if constexpr (std::is_same_v<Target, TellanDeviceInfo>) {
                report.values.emplace_back("sn", parameter.value.sn);
                report.values.emplace_back("name", parameter.value.name);
                report.values.emplace_back("id", parameter.value.id);
            } else if constexpr (!std::is_same_v<Target, int>) {
                report.values.emplace_back(name, reported(parameter.value));
            }
        }
    }

    Call call_;
    const ArgumentNames& names_;
    std::tuple<Parameter<A>...> parameters_;
};

// A subcommand made from one line of the call table.
template <typename... A>
Command command(const char* function, int (*call)(A...), const ArgumentNames& names,
                const char* summary) {
    std::string name = function;
    for (char& c : name)
        c = c == '_' ? '-' : c;
    Command made;
    made.name = name;
    made.synopsis = BoundCall<A...>::synopsis(names);
    made.summary = summary;
    made.options = BoundCall<A...>::options();
    made.minArgs = made.maxArgs = BoundCall<A...>::positionalCount();
    made.readsRegistry = BoundCall<A...>::readsRegistry;
    made.bind = [name, call, &names](const Arguments& a) -> Action {
        // Shared, because an Action is copyable and a frame's pixels may be large.
        auto bound = std::make_shared<BoundCall<A...>>(call, names, a);
        return [name, bound](const crop_assist::Session&) { return (*bound)(name); };
    };
    return made;
}

}  // namespace

#define CA_UNPARENTHESIZED(...) __VA_ARGS__
// The call as a plain function (whatever the export's calling convention) with its names.
#define CA_COMMAND(function, operation, failure, parameters, arguments, summary)             \
    [] {                                                                                     \
        static constexpr ArgumentNames names(#arguments);                                    \
        return command(                                                                      \
            #function,                                                                       \
            +[] parameters { return crop_assist_##function(CA_UNPARENTHESIZED arguments); }, \
            names, summary);                                                                 \
    }(),

std::vector<Command> callCommands() {
    return {CROP_ASSIST_QUERIES(CA_COMMAND)};
}

Action isInitialized(const Arguments&) {
    return [](const crop_assist::Session& s) {
        return Report{"is-initialized", {}, CROP_ASSIST_OK, {{"initialized", s.connected()}}};
    };
}

}  // namespace cropassist
