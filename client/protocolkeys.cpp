#include "protocolkeys.h"

namespace quarn::tellan_api::keys {

const QString type = QStringLiteral("type");
const QString body = QStringLiteral("body");
const QString code = QStringLiteral("code");
const QString err = QStringLiteral("err");
const QString reply = QStringLiteral("reply");

const QString sn = QStringLiteral("sn");
const QString bval = QStringLiteral("bval");
const QString mode = QStringLiteral("mode");
const QString p = QStringLiteral("p");
const QString t = QStringLiteral("t");
const QString rois = QStringLiteral("rois");
const QString dataname = QStringLiteral("dataname");
const QString datasize = QStringLiteral("datasize");
const QString width = QStringLiteral("width");
const QString height = QStringLiteral("height");
const QString pixfmt = QStringLiteral("pixfmt");
const QString name = QStringLiteral("name");
const QString id = QStringLiteral("id");

const QString isEnabled = QStringLiteral("isenabled");
const QString setEnabled = QStringLiteral("setenabled");
const QString getMode = QStringLiteral("gmode");
const QString getModeEffective = QStringLiteral("gemode");
const QString setMode = QStringLiteral("smode");
const QString isModeSupported = QStringLiteral("ismodes");
const QString isAdjustmentActive = QStringLiteral("isaa");
const QString isAutoZoomEnabled = QStringLiteral("iszoomap");
const QString setAutoZoomEnabled = QStringLiteral("szoomap");
const QString getCurHomePt = QStringLiteral("ghomept");
const QString setHomePt = QStringLiteral("shomept");
const QString setCurPtAsHome = QStringLiteral("shomeptc");
const QString triggerHome = QStringLiteral("tshome");
const QString isUploadCrashReportsEnabled = QStringLiteral("iaucr");
const QString setUploadCrashReportsEnabled = QStringLiteral("saucr");
const QString processFrame = QStringLiteral("processframe");
const QString lastRois = QStringLiteral("lastrois");
const QString getDeviceInfo = QStringLiteral("gdevi");
const QString handshake = QStringLiteral("ahsh");

}  // namespace quarn::tellan_api::keys
