// Replay: the service's side of a recorded session, played back instead of the simulator. It
// answers each request with the reply recorded for it, says which notices follow, and knows how
// the recorded start-up ended.
#pragma once

#include "requestsession.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace omnivue {

struct ReplayOptions {
    QString file;
    bool keyed = false;  // match on request type and body instead of recorded order
    double speed = 0;    // > 0: notices at their recorded times divided by this; else after replies
    int start = 0;       // which start-up of the recording (0 the first): init after a failed init
    // Notices only when released over the control channel ("notices <line>"): cropassist replay
    // releases them between its calls, where they came when recorded.
    bool paced = false;
};

// A notice line (with its line feed) and when it came, in microseconds after the start-up began.
struct ReplayNotice {
    QByteArray line;
    qint64 time;
    int recordLine;
};

class Replay {
public:
    // Reads the recording; on failure returns nullptr and sets `error`. A cut-off recording
    // replays up to its last whole record; `note` then says where it ends.
    static std::unique_ptr<Replay> load(const ReplayOptions& options, QString* error,
                                        QString* note);

    // How the recorded start-up ended when the service did not let the library connect.
    std::optional<int> startupExitCode() const { return exitCode_; }
    bool startupCrash() const { return crashAtStart_; }
    bool startupNeverListens() const { return neverListens_; }

    // The answer to one frame; `handshake` for the raw handshake of a library that started us.
    // A request without a match gets a failure reply, and the log names the closest recorded one.
    Answer answer(const QByteArray& frame, bool handshake);
    // Notices that followed the reply just given (after-reply mode), with their line feeds.
    QList<QByteArray> takeNoticesDue();
    // Notices recorded before any reply; in timed mode every notice of the start-up.
    const std::vector<ReplayNotice>& initialNotices() const { return initial_; }
    bool timed() const { return options_.speed > 0; }
    double speed() const { return options_.speed; }
    bool paced() const { return options_.paced; }
    // Paced mode: the notices not yet sent that were recorded before `recordLine`.
    QList<QByteArray> takeNoticesBefore(int recordLine);
    // How many recorded requests are still unanswered.
    int remaining() const;

private:
    struct Exchange {
        QByteArray request;
        QByteArray key;  // type and normalised body: what keyed mode matches on
        int line = 0;
        Answer answer{Answer::Kind::Hold, {}, 0};
        std::vector<ReplayNotice> notices;
        bool used = false;
        // Kept by a ring from before what it holds (a device's fetch, the start-up): answered
        // whenever it is asked, outside the recorded order.
        bool anytime = false;
    };

    explicit Replay(ReplayOptions options) : options_(std::move(options)) {}
    int find(const QByteArray& key) const;
    int closest(const QByteArray& key) const;

    ReplayOptions options_;
    std::vector<Exchange> exchanges_;
    std::vector<ReplayNotice> initial_;
    QList<QByteArray> due_;
    std::vector<ReplayNotice> paced_;
    size_t pacedSent_ = 0;
    size_t cursor_ = 0;
    int received_ = 0;
    std::optional<int> exitCode_;
    bool crashAtStart_ = false;
    bool neverListens_ = false;
};

// The matching key of a request frame: its type and its body with what differs from run to run
// (the frame segment's name, the suffix in "ahsh") left out; the raw handshake has its own.
QByteArray replayKey(const QByteArray& frame, bool handshake);

}  // namespace omnivue
