#pragma once

#include <QString>

class QComboBox;

namespace tessaral {

// The pickers for a computer's session options, shared by the editor and the preferences. Each
// item carries the option's stored string as its data.
void fillScalingPicker(QComboBox* picker);
void fillQualityPicker(QComboBox* picker);
void fillCommandMappingPicker(QComboBox* picker);

// Selects the item whose data is `raw`.
void selectRawValue(QComboBox* picker, const QString& raw);

}  // namespace tessaral
