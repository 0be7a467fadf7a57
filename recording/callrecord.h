// The record of one exported call: its function, arguments, result and what it wrote to its
// out-parameters. The library records calls with it, and cropassist replay forms the record of
// each call it makes again with it, so both sides describe values the same way.
#pragma once

#include "crop_assist.h"
#include "recordformat.h"

#include <cstddef>
#include <type_traits>

namespace quarn::tellan_api::recording {

template <typename T>
struct In {
    const char* name;
    T value;
};

template <typename T>
struct Out {
    const char* name;
    T value;
};

template <typename T>
In<T> in(const char* name, T value) {
    return {name, value};
}

template <typename T>
Out<T> out(const char* name, T value) {
    return {name, value};
}

// A region or device list as the host receives it: the array's address and count.
template <typename T>
struct List {
    T* const* items;
    const int* count;
};

template <typename T>
List<T> list(T* const* items, const int* count) {
    return {items, count};
}

// A callback argument is recorded as whether it was set: its address means nothing elsewhere.
struct Callback {
    bool set;
};

inline void put(RecordLine& line, const char* name, const char* value) {
    line.text(name, value);
}
inline void put(RecordLine& line, const char* name, bool value) {
    line.boolean(name, value);
}
inline void put(RecordLine& line, const char* name, int value) {
    line.number(name, value);
}
inline void put(RecordLine& line, const char* name, TellanMode value) {
    line.number(name, value);
}
inline void put(RecordLine& line, const char* name, float value) {
    line.real(name, value);
}
inline void put(RecordLine& line, const char* name, Callback value) {
    line.boolean(name, value.set);
}
template <typename T>
void put(RecordLine& line, const char* name, const T* value) {
    if (!value)
        line.null(name);
    else
        put(line, name, *value);
}
inline void put(RecordLine& line, const char* name, const TellanFrame& frame) {
    line.beginObject(name)
        .boolean("data", frame.data != nullptr)
        .number("width", frame.width)
        .number("height", frame.height)
        .number("pixfmt", frame.pixfmt)
        .endObject();
}
inline void put(RecordLine& line, const char* name, const TellanROI& roi) {
    line.beginArray(name)
        .real(nullptr, roi.x)
        .real(nullptr, roi.y)
        .real(nullptr, roi.width)
        .real(nullptr, roi.height)
        .endArray();
}
inline void put(RecordLine& line, const char* name, const TellanDeviceInfo& info) {
    line.beginObject(name)
        .text("sn", info.sn)
        .text("name", info.name)
        .text("id", info.id)
        .endObject();
}
template <typename T>
void put(RecordLine& line, const char* name, List<T> value) {
    if (!value.items || !value.count) {
        line.null(name);
        return;
    }
    line.beginArray(name);
    for (int i = 0; *value.items && i < *value.count; ++i)
        put(line, nullptr, (*value.items)[i]);
    line.endArray();
}

template <bool outputs, typename P>
void putPart(RecordLine& line, const P& part) {
    constexpr bool isOut = !std::is_same_v<P, In<decltype(part.value)>>;
    if constexpr (isOut == outputs)
        put(line, part.name, part.value);
}

// The record of one exported call; `parts` are in(...) and out(...) values, in any order.
template <typename... Parts>
RecordLine callRecord(const char* function, int result, const Parts&... parts) {
    RecordLine line("call");
    line.text("fn", function).beginObject("args");
    (putPart<false>(line, parts), ...);
    line.endObject().number("result", result).beginObject("out");
    (putPart<true>(line, parts), ...);
    line.endObject();
    return line;
}

// A call's record from its arguments as they were passed, named by `names` (anything indexable by
// position). A pointer to something writable is an out-parameter; an array and its count, one.
template <typename Names>
void putArguments(RecordLine&, bool, const Names&, std::size_t) {}

template <typename Names, typename T, typename... Rest>
void putArguments(RecordLine& line, bool outputs, const Names& names, std::size_t i, T** items,
                  int* count, Rest... rest);

template <typename Names, typename T, typename... Rest>
void putArguments(RecordLine& line, bool outputs, const Names& names, std::size_t i, T value,
                  Rest... rest) {
    using Target = std::remove_pointer_t<T>;
    if constexpr (std::is_pointer_v<T> && !std::is_const_v<Target>) {
        if (outputs)
            put(line, names[i], static_cast<const Target*>(value));
    } else if (!outputs) {
        put(line, names[i], value);
    }
    putArguments(line, outputs, names, i + 1, rest...);
}

template <typename Names, typename T, typename... Rest>
void putArguments(RecordLine& line, bool outputs, const Names& names, std::size_t i, T** items,
                  int* count, Rest... rest) {
    if (outputs)
        put(line, names[i], list(static_cast<T* const*>(items), static_cast<const int*>(count)));
    putArguments(line, outputs, names, i + 2, rest...);
}

template <typename Names, typename... Arguments>
RecordLine callRecordOf(const char* function, int result, const Names& names,
                        Arguments... arguments) {
    RecordLine line("call");
    line.text("fn", function).beginObject("args");
    putArguments(line, false, names, 0, arguments...);
    line.endObject().number("result", result).beginObject("out");
    putArguments(line, true, names, 0, arguments...);
    line.endObject();
    return line;
}

}  // namespace quarn::tellan_api::recording
