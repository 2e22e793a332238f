#pragma once

class QFormLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QString;
class QWidget;

namespace tessaral {

// The form pieces the editor and the preferences share, so that both windows look alike.

// A form whose fields take the spare width and whose labels sit right-aligned beside them.
QFormLayout* formLayout(QWidget* parent = nullptr);

// A small, wrapped, dimmed note below a form.
QLabel* footnote(const QString& text);

// A sheet's title, larger and bolder than its text.
QLabel* sheetTitle(const QString& text);

// The top of a sheet: its icon, and beside it the title with the message below.
QHBoxLayout* sheetHeading(QLabel* icon, QLabel* title, QLabel* message);

// The bottom of a sheet: Cancel, then the sheet's own answer, at the right.
QHBoxLayout* sheetButtons(QPushButton* cancel, QPushButton* answer);

}  // namespace tessaral
