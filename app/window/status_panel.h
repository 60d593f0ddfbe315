// A panel of the window's status bar: its text whole where it fits, else
// cut in the middle (both ends of a path stay readable) with the whole text
// in the panel's tooltip.
#pragma once

#include <QLabel>
#include <QString>

class TStatusPanel : public QLabel {
public:
  using QLabel::QLabel;

  // ToolTip, when given, is the panel's tooltip whether the text fits or
  // not: more than the text holds (each of several outcomes, what to fix).
  void SetWholeText(const QString& Text, const QString& ToolTip = QString());
  // The text as set, also while the panel shows it cut.
  const QString& WholeText() const { return FWholeText; }
  // The pixels the panel's text may take: its contents less the label's
  // margins and its indent on both sides.
  int TextRoom() const;

protected:
  void resizeEvent(QResizeEvent* Event) override;
  void changeEvent(QEvent* Event) override;

private:
  void ShowText();

  QString FWholeText;
  QString FToolTip;
};
