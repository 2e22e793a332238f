#pragma once

class QFormLayout;
class QLabel;
class QString;
class QWidget;

namespace tessaral {

// The form pieces the editor and the preferences share, so that both windows look alike.

// A form whose fields take the spare width and whose labels sit right-aligned beside them.
QFormLayout* formLayout(QWidget* parent = nullptr);

// A small, wrapped, dimmed note below a form.
QLabel* footnote(const QString& text);

}  // namespace tessaral
