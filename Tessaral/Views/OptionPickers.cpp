#include "OptionPickers.hpp"

#include <QComboBox>

#include "Model/Connection.hpp"

namespace tessaral {

namespace {

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void fillScalingPicker(QComboBox* picker) {
    for (ScalingMode mode : allScalingModes) {
        picker->addItem(title(mode), rawValue(mode));
    }
}

void fillQualityPicker(QComboBox* picker) {
    for (rfb::RFBQuality quality : rfb::allQualities) {
        picker->addItem(fromUtf8(rfb::title(quality)), rawString(quality));
    }
}

void fillCommandMappingPicker(QComboBox* picker) {
    for (rfb::KeySymbol::CommandMapping mapping : rfb::KeySymbol::allCommandMappings) {
        picker->addItem(fromUtf8(rfb::KeySymbol::title(mapping)), rawString(mapping));
    }
}

void selectRawValue(QComboBox* picker, const QString& raw) {
    picker->setCurrentIndex(picker->findData(raw));
}

}  // namespace tessaral
