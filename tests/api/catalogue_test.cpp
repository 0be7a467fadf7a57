// Every C call as one table: request, answer, bad replies, failure texts, presets, argument checks.
#include "session.h"
#include "testframes.h"

#include <QRegularExpression>

#include <functional>
#include <map>

namespace {

alignas(16) const char kUnwritten[64] = {};

// Outs start at values no call writes, so the text shows what a call wrote (the bool as a byte).
struct Outs {
    unsigned char b = 0x7f;
    TellanMode m = static_cast<TellanMode>(42);
    float p = 9, t = 9;
    int n = 7;
    const TellanROI* r = reinterpret_cast<const TellanROI*>(kUnwritten);
    const TellanDeviceInfo* d = reinterpret_cast<const TellanDeviceInfo*>(kUnwritten);
    TellanDeviceInfo i{"?", "?", "?"};

    bool* flag() { return reinterpret_cast<bool*>(&b); }
    // Hands a call its pointer arguments in turn, the one at `nullAt` as null.
    int nullAt = -1, pointers = 0;
    template <class T>
    T* arg(T* pointer) {
        return pointers++ == nullAt ? nullptr : pointer;
    }
    std::string text() const {
        QStringList out;
        const auto add = [&](bool written, const QString& what) {
            if (written)
                out << what;
        };
        add(b != 0x7f, QStringLiteral("b=%1").arg(b));
        add(m != 42, QStringLiteral("m=%1").arg(m));
        add(p != 9 || t != 9, QStringLiteral("p=%1 t=%2").arg(p).arg(t));
        add(n != 7, QStringLiteral("n=%1").arg(n));
        QString list =
            QString::fromStdString(r && r != Outs().r ? testsupport::roisText(r, n) : "");
        for (int k = 0; d && d != Outs().d && k < n; ++k)
            list += QString(d[k].sn) + ";";
        add(r != Outs().r || d != Outs().d, (r && d ? "list=" : "list=null") + list);
        add(std::string(i.sn) != "?", QStringLiteral("i=%1|%2|%3").arg(i.sn, i.name, i.id));
        return out.join(' ').toStdString();
    }
};

const std::vector<uint8_t> kPixels = testsupport::packedFrame(32, 16, 1, {{8, 4, 16, 8}});
int frame(Outs& o, uint32_t width, uint32_t height, uint32_t pixfmt) {
    return crop_assist_get_frame_rois(o.arg("CAM1"),
                                      TellanFrame{o.arg(kPixels.data()), width, height, pixfmt},
                                      o.arg(&o.r), o.arg(&o.n));
}

// A scripted reply and what the call gives: its outs on success, else the failure text.
struct Reply {
    const char* script;
    int code;
    const char* text;
};

struct Row {
    const char* type;                // the request it sends; null when it sends none here
    const char* body;                // that request's body, as sent for the call below
    const char* failure;             // the call's failure text
    const char* value;               // its outs after success against the default cameras
    const char* preset;              // its outs after any failure
    std::function<int(Outs&)> call;  // its pointer arguments go through Outs::arg
    std::function<std::vector<int>(Outs&)> invalid = {};  // calls with values it refuses
};

#define CALL(...) [](Outs& o) { return (void)o, __VA_ARGS__; }

// A host's true may be any non-zero byte (0xFF from another language): called with that byte.
template <class... Before, class Exported>
auto withRawBool(Exported f) {
    return reinterpret_cast<int(CROP_ASSIST_CALL*)(Before..., unsigned char)>(
        reinterpret_cast<void (*)()>(f));
}

const std::vector<Row> kRows = {
    {"isenabled", R"("CAM2")", "failed to get feature status", "b=0", "b=0",
     CALL(crop_assist_is_enabled(o.arg("CAM2"), o.arg(o.flag())))},
    {"setenabled", R"({"bval":true,"sn":"CAM1"})", "failed to set feature status", "", "",
     CALL(withRawBool<const char*>(crop_assist_set_enabled)(o.arg("CAM1"), 0xFF))},
    {"gmode", R"("CAM2")", "failed to get current mode", "m=2", "m=1",
     CALL(crop_assist_get_mode(o.arg("CAM2"), o.arg(&o.m)))},
    {"gemode", R"("CAM2")", "failed to get current effective mode", "m=0", "m=1",
     CALL(crop_assist_get_mode_effective(o.arg("CAM2"), o.arg(&o.m)))},
    {"smode", R"({"mode":3,"sn":"CAM1"})", "failed to set current mode", "", "",
     CALL(crop_assist_set_mode(o.arg("CAM1"), TELLAN_MODE_SPEAKER))},
    {"ismodes", R"({"mode":3,"sn":"CAM2"})", "failed to check is mode supported", "b=0", "b=0",
     CALL(crop_assist_is_mode_supported(o.arg("CAM2"), TELLAN_MODE_SPEAKER, o.arg(o.flag())))},
    {"isaa", R"("CAM1")", "failed to check adjustment status", "b=0", "b=0",
     CALL(crop_assist_is_adjustment_active(o.arg("CAM1"), o.arg(o.flag())))},
    {"iszoomap", R"("CAM2")", "failed to check auto-zoom status", "b=0", "b=0",
     CALL(crop_assist_is_auto_zoom_enabled(o.arg("CAM2"), o.arg(o.flag())))},
    {"szoomap", R"({"bval":false,"sn":"CAM1"})", "failed to set auto-zoom", "", "",
     CALL(crop_assist_set_auto_zoom_enabled(o.arg("CAM1"), false))},
    {"ghomept", R"("CAM2")", "failed to get Home PanTilt", "p=-30 t=10", "p=0 t=0",
     CALL(crop_assist_get_cur_home_pt(o.arg("CAM2"), o.arg(&o.p), o.arg(&o.t)))},
    // The pan goes out as the float widened to double, not as the decimal 0.1.
    {"shomept", R"({"p":0.10000000149011612,"sn":"CAM1","t":-2.5})", "failed to set Home PanTilt",
     "", "", CALL(crop_assist_set_home_pt(o.arg("CAM1"), 0.1f, -2.5f))},
    {"shomeptc", R"("CAM1")", "failed to set current PanTilt as Home", "", "",
     CALL(crop_assist_set_cur_pt_as_home(o.arg("CAM1")))},
    {"tshome", R"("CAM1")", "failed to trigger Go Home", "", "",
     CALL(crop_assist_trigger_home(o.arg("CAM1")))},
    {"iaucr", R"("")", "failed to get crash reporting status", "b=0", "b=0",
     CALL(crop_assist_is_upload_crash_reports_enabled(o.arg(o.flag())))},
    {"saucr", R"({"bval":true,"sn":""})", "failed to set crash reporting status", "", "",
     CALL(withRawBool<>(crop_assist_set_upload_crash_reports_enabled)(0xFF))},
    {"processframe",
     R"({"dataname":"*","datasize":1024,"height":16,"pixfmt":1,"sn":"CAM1","width":32})",
     "failed to process external frame", "n=1 list=8,4,16,8;", "n=0 list=null",
     CALL(frame(o, 32, 16, 1)),
     // 2^30 pixels and more, also where the count wraps in 32 bits
     [](Outs& o) {
         return std::vector<int>{frame(o, 0, 16, 1),        frame(o, 32, 0, 2),
                                 frame(o, 32, 16, 0),       frame(o, 32, 16, 3),
                                 frame(o, 32768, 32768, 1), frame(o, 65536, 65537, 1)};
     }},
    {"lastrois", R"("CAM1")", "failed to get last known ROIs", "n=1 list=8,4,16,8;",
     "n=0 list=null",
     CALL(crop_assist_get_last_frame_rois(o.arg("CAM1"), o.arg(&o.r), o.arg(&o.n)))},
    // Known devices are not fetched again; fetches and their failures have a suite of their own.
    {nullptr, nullptr, "cannot get devices", "n=2 list=CAM1;CAM2;", "n=0 list=null",
     CALL(crop_assist_get_devices(o.arg(&o.d), o.arg(&o.n)))},
    {nullptr, nullptr, "cannot get device info", "i=CAM2|Omnivue Room Camera|usb-0002", "i=||",
     CALL(crop_assist_get_device_info(o.arg("CAM2"), o.arg(&o.i)))},
};

// Scripted replies per request type, in order; every type also gets a code of the service's own.
const std::multimap<std::string, Reply> kReplies = {
    {"isenabled", {R"("reply":1)", 100, "IS_CROP_ASSIST_ENABLED: Expected single bool"}},
    {"setenabled", {R"("reply":[1])", 0, ""}},
    {"setenabled", {R"("omit":["reply"])", 100, "Missing API reply"}},
    {"gmode", {R"("reply":2.9)", 0, "m=2"}},
    {"gmode", {R"("reply":-1.5)", 0, "m=-1"}},
    {"gmode", {R"("reply":70000)", 0, "m=70000"}},
    {"gmode", {R"("reply":"2")", 100, "GET_CROP_ASSIST_MODE: Expected single number"}},
    {"gemode", {R"("reply":true)", 100, "GET_CROP_ASSIST_MODE_EFFECTIVE: Expected single number"}},
    {"smode", {R"("reply":"text")", 0, ""}},
    {"ismodes",
     {R"("reply":[true])", 100, "IS_CROP_ASSIST_MODE_SUPPORTED: Expected single boolean"}},
    {"isaa", {R"("reply":"true")", 100, "IS_ADJUSTMENT_ACTIVE: Expected single bool"}},
    {"iszoomap", {R"("reply":null)", 100, "IS_AUTO_ZOOM_ON_PROCESS: Expected single bool"}},
    {"szoomap", {R"("reply":{"any":[1,2]})", 0, ""}},
    {"ghomept", {R"("reply":{"p":0,"t":-7,"zoom":3})", 0, "p=0 t=-7"}},
    {"ghomept", {R"("reply":[1,2])", 100, "GET_HOME_PAN_TILT: Expected single object"}},
    {"ghomept", {R"("reply":{"p":1})", 100, "GET_HOME_PAN_TILT: Pan/Tilt not found"}},
    {"ghomept", {R"("reply":{"p":1,"t":"2"})", 100, "GET_HOME_PAN_TILT: Pan/Tilt not found"}},
    {"tshome", {R"("omit":["err"])", 100, "Missing root mandatory field"}},
    {"iaucr", {R"("reply":0)", 100, "IS_AUTO_UPLOAD_CRASH_REPORTS: Expected single bool"}},
    {"processframe",
     {R"("reply":{"rois":[[1,2,3,4,5],[0,0,0.5,-1]]})", 0, "n=2 list=1,2,3,4;0,0,0.5,-1;"}},
    {"processframe", {R"("reply":{"rois":[[1,2,3]]})", 100, "PARSE_ROIS: Expected 4 values ROI"}},
    {"processframe",
     {R"("reply":{"rois":[[1,2,true,4]]})", 100, "PARSE_ROIS: Expected float ROI values"}},
    {"processframe", {R"("reply":{"rois":[1,2,3,4]})", 100, "PARSE_ROIS: Expected ROI as array"}},
    {"processframe", {R"("reply":{"regions":[]})", 100, "PARSE_ROIS: Expected array of values"}},
    {"processframe", {R"("reply":[[1,2,3,4]])", 100, "PROCESS_FRAME: Expected single object"}},
    {"lastrois", {R"("reply":[])", 0, "n=0 list=null"}},
    {"lastrois", {R"("reply":{"rois":[]})", 100, "PARSE_ROIS: Expected array of values"}},
};

std::string lineOf(const Row& row, const std::string& text) {
    return "Omnivue API:" + std::string(row.failure) + ": " + text;
}

}  // namespace

TEST(Catalogue, EveryCallBeforeInitAndWithInvalidArguments) {
    testsupport::LogCapture log;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.failure);
        Outs outs;
        EXPECT_EQ(row.call(outs), CROP_ASSIST_NOT_INITIALIZED);
        EXPECT_EQ(outs.text(), row.preset);
        EXPECT_TRUE(testsupport::onlyCriticalLine(log, lineOf(row, "Missing api thread")));
        log.clear();
        // Each pointer argument null in turn, and each value refused: nothing written or logged.
        Outs refused;
        std::vector<int> codes = row.invalid ? row.invalid(refused) : std::vector<int>{};
        for (int k = 0; k < outs.pointers; ++k) {
            refused.nullAt = refused.pointers + k;
            codes.push_back(row.call(refused));
        }
        EXPECT_EQ(codes, std::vector<int>(codes.size(), CROP_ASSIST_INVALID_ARGUMENT));
        EXPECT_EQ(refused.text(), "");
        EXPECT_EQ(log.dump(), "");
    }
    EXPECT_EQ(crop_assist_set_device_connected_callback(nullptr), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_EQ(crop_assist_set_device_disconnected_callback(nullptr), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_EQ(crop_assist_set_device_event_callback(nullptr), CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_EQ(
        log.at(QtCriticalMsg),
        (std::vector<std::string>{
            "Omnivue API:failed to set device connected callback: Omnivue API not initialized",
            "Omnivue API:failed to set device disconnected callback: Omnivue API not initialized",
            "Omnivue API:failed to set device event callback: Omnivue API not initialized"}));
}

TEST(Catalogue, EveryCallsRequestAndAnswer) {
    testsupport::LogCapture log;
    testsupport::LibrarySession session;
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    ASSERT_EQ(testsupport::listDevicesUntil(2), 2);
    log.clear();
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.failure);
        ASSERT_TRUE(session.command("clear"));
        Outs outs;
        EXPECT_EQ(row.call(outs), 0) << log.dump();
        EXPECT_EQ(outs.text(), row.value);
        // The service shows each request as compact JSON; a frame's segment has a new name.
        std::vector<std::string> sent = session.control().requests();
        for (std::string& request : sent)
            request = QString::fromStdString(request)
                          .replace(QRegularExpression(R"("dataname":"[^"]*")"), R"("dataname":"*")")
                          .toStdString();
        EXPECT_EQ(sent, row.type ? std::vector<std::string>{std::string(R"({"body":)") + row.body +
                                                            R"(,"type":")" + row.type + "\"}"}
                                 : std::vector<std::string>{});
    }
    EXPECT_EQ(log.at(QtCriticalMsg).size(), 0u) << log.dump();
    EXPECT_TRUE(session.exitCleanly());
}

TEST(Catalogue, EveryCallsRepliesOfTheWrongKindAndServiceCodes) {
    testsupport::LogCapture log;
    testsupport::LibrarySession session;
    ASSERT_EQ(session.initResult(), 0) << log.dump();
    size_t scripted = 0;
    for (const Row& row : kRows) {
        std::vector<Reply> replies;
        if (row.type) {
            const auto range = kReplies.equal_range(row.type);
            for (auto it = range.first; it != range.second; ++it, ++scripted)
                replies.push_back(it->second);
            replies.push_back({R"("code":7,"err":"busy \u00fc")", 7, "busy \xc3\xbc"});
        }
        for (const Reply& reply : replies) {
            SCOPED_TRACE(std::string(row.type) + " " + reply.script);
            ASSERT_TRUE(session.command(std::string("script ") + row.type + " {" + reply.script +
                                        R"(,"times":1})"));
            log.clear();
            Outs outs;
            EXPECT_EQ(row.call(outs), reply.code);
            EXPECT_EQ(outs.text(), reply.code ? row.preset : reply.text);
            EXPECT_EQ(log.at(QtCriticalMsg), reply.code
                                                 ? std::vector<std::string>{lineOf(row, reply.text)}
                                                 : std::vector<std::string>{});
        }
    }

    EXPECT_EQ(scripted, kReplies.size()) << "a scripted reply for a type no row sends";
    EXPECT_TRUE(session.exitCleanly());
}
