#pragma once
// A new control at its design size, with no result left in the shared arrays by an earlier test.
#include "control/uVornik.h"
#include "database/Shared.h"

#include <memory>

inline std::unique_ptr<uVornik> freshControl() {
    mPublic::RowNames.clear();
    mPublic::RowData.clear();
    mPublic::RowIds.clear();
    auto control = std::make_unique<uVornik>();
    control->resize(853, 437);
    return control;
}
