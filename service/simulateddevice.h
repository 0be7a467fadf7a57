// One simulated camera: its identity and crop-assist state, and how a scenario describes it.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

namespace omnivue {

struct SimulatedDevice {
    QString sn;
    QString name;
    QString id;
    bool enabled = true;
    int mode = 1;
    // Set by a scenario to report a fixed effective mode whatever the other settings say.
    std::optional<int> pinnedEffectiveMode;
    std::vector<int> supportedModes{0, 1, 2};
    bool adjustmentActive = false;
    bool autoZoom = false;
    double homePan = 0.0;
    double homeTilt = 0.0;
    // Where the camera points now: "shomeptc" copies it to the home point, "tshome" moves it there.
    double pan = 0.0;
    double tilt = 0.0;
    // Regions of the last processed frame, as sent: [[x, y, width, height], ...].
    QJsonArray lastRois;

    // A device that arrived without a description: name and id are made from the sn.
    static SimulatedDevice withDefaults(const QString& sn);

    // Reads one scenario description ("sn" required, every other member optional, unknown
    // members refused). False with `error` set when the description is malformed.
    static bool fromJson(const QJsonObject& description, SimulatedDevice* device, QString* error);

    // The mode in force: the set mode while enabled, 0 (off) while disabled, unless pinned.
    int effectiveMode() const;
    bool supportsMode(int candidate) const;
};

}  // namespace omnivue
