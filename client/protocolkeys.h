// The request/reply protocol's command keys and JSON member names. Each is one shared QString
// made once per process, so building a request or reading a reply allocates no key text.
#pragma once

#include <QString>

namespace quarn::tellan_api::keys {

// ---- Envelope members ---------------------------------------------------------------------
extern const QString type;
extern const QString body;
extern const QString code;
extern const QString err;
extern const QString reply;

// ---- Body and reply members ---------------------------------------------------------------
extern const QString sn;
extern const QString bval;
extern const QString mode;
extern const QString p;
extern const QString t;
extern const QString rois;
extern const QString dataname;
extern const QString datasize;
extern const QString width;
extern const QString height;
extern const QString pixfmt;
extern const QString name;
extern const QString id;

// ---- Command keys -------------------------------------------------------------------------
extern const QString isEnabled;
extern const QString setEnabled;
extern const QString getMode;
extern const QString getModeEffective;
extern const QString setMode;
extern const QString isModeSupported;
extern const QString isAdjustmentActive;
extern const QString isAutoZoomEnabled;
extern const QString setAutoZoomEnabled;
extern const QString getCurHomePt;
extern const QString setHomePt;
extern const QString setCurPtAsHome;
extern const QString triggerHome;
extern const QString isUploadCrashReportsEnabled;
extern const QString setUploadCrashReportsEnabled;
extern const QString processFrame;
extern const QString lastRois;
extern const QString getDeviceInfo;
extern const QString handshake;

}  // namespace quarn::tellan_api::keys
