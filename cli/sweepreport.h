#pragma once

#include "capacitysearch.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// The lines and JSON objects of a capacity search: one a trial, and the result.
namespace sweepreport {
// "trial  3  250.0 fps       fps 249.8  loss 0.00 %  p99 4.1 ms  cpu 35%/60% of a core  pass"
QString trialLine(int number, const Trial &trial);
// "highest passing: 281.3 fps (trial 6)", or that none passed.
QString result(const std::optional<Trial> &best, int trials);
// {"event":"trial", ...}: the setting, every figure, passed, why.
QJsonObject trialJson(int number, const Trial &trial);
} // namespace sweepreport
