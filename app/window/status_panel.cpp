#include "window/status_panel.h"

#include <QEvent>
#include <QFontMetrics>

#include <algorithm>

void TStatusPanel::SetWholeText(const QString& Text, const QString& ToolTip) {
  FWholeText = Text;
  FToolTip = ToolTip;
  ShowText();
}

int TStatusPanel::TextRoom() const {
  // A framed label without an indent of its own keeps half an x from the
  // frame on the side it is aligned to; a cut text keeps as much on the
  // other side, so that it does not run into the frame.
  int Indent = indent();
  if (Indent < 0)
    Indent = frameWidth() > 0 ? fontMetrics().horizontalAdvance(u'x') / 2 - margin() : 0;
  return std::max(0, contentsRect().width() - 2 * margin() - 2 * std::max(Indent, 0));
}

void TStatusPanel::ShowText() {
  const QString Shown = fontMetrics().elidedText(FWholeText, Qt::ElideMiddle, TextRoom());
  if (Shown != text())
    setText(Shown);
  if (!FToolTip.isEmpty())
    setToolTip(FToolTip);
  else
    setToolTip(Shown == FWholeText ? QString() : FWholeText);
}

void TStatusPanel::resizeEvent(QResizeEvent* Event) {
  QLabel::resizeEvent(Event);
  ShowText();
}

void TStatusPanel::changeEvent(QEvent* Event) {
  QLabel::changeEvent(Event);
  if (Event->type() == QEvent::FontChange || Event->type() == QEvent::StyleChange)
    ShowText();
}
