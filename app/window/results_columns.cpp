#include "window/results_columns.h"

#include <QEvent>
#include <QFont>
#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
#include <QTreeWidget>

#include <algorithm>
#include <climits>
#include <numeric>

namespace {

// Takes Excess pixels off Widths, a pixel at a time from the column furthest
// above its floor (the later one of equals), never below a floor. Returns
// what could not be taken.
int CutFurthestAboveFloor(std::vector<int>& Widths, const std::vector<int>& Floors, int Excess) {
  while (Excess > 0) {
    std::size_t Widest = Widths.size();
    int MostAbove = 0;
    for (std::size_t Column = 0; Column < Widths.size(); ++Column) {
      const int Above = Widths[Column] - Floors[Column];
      if (Above > 0 && Above >= MostAbove) {
        MostAbove = Above;
        Widest = Column;
      }
    }
    if (Widest == Widths.size())
      break;
    --Widths[Widest];
    --Excess;
  }
  return Excess;
}

}  // namespace

std::vector<int> FitColumnWidths(const std::vector<int>& Base, const std::vector<int>& Contents,
                                 int Available, int Minimum) {
  const std::size_t Count = std::min(Base.size(), Contents.size());
  std::vector<int> Widths(Count);
  std::vector<int> Tight(Count);
  for (std::size_t Column = 0; Column < Count; ++Column) {
    Tight[Column] = std::max(Contents[Column], Minimum);
    Widths[Column] = std::max(Base[Column], Tight[Column]);
  }
  const long long Wanted = std::accumulate(Widths.begin(), Widths.end(), 0LL);
  int Excess = static_cast<int>(std::clamp<long long>(Wanted - std::max(Available, 0), 0, INT_MAX));
  Excess = CutFurthestAboveFloor(Widths, Tight, Excess);
  CutFurthestAboveFloor(Widths, std::vector<int>(Count, Minimum), Excess);
  return Widths;
}

TResultsColumns::TResultsColumns(QTreeWidget* List, std::vector<int> BaseWidths, int MinimumWidth)
    : QObject(List),
      FList(List),
      FViewport(List->viewport()),
      FBaseWidths(std::move(BaseWidths)),
      FMinimumWidth(MinimumWidth),
      FContentWidths(FBaseWidths.size(), 0) {
  // The last column ends where its text does; the rest of the row stays empty.
  FList->header()->setStretchLastSection(false);
  FViewport->installEventFilter(this);
}

int TResultsColumns::CellWidth(const QString& Text) const { return CellWidth(Text, FList->font()); }

int TResultsColumns::CellWidth(const QString& Text, const QFont& Font) const {
  // The margins an item view's style keeps on both sides of a cell's text.
  const int TextMargin = FList->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, FList) + 1;
  return QFontMetrics(Font, FList).horizontalAdvance(Text) + 2 * TextMargin;
}

void TResultsColumns::Measure() {
  QHeaderView* Header = FList->header();
  for (std::size_t Column = 0; Column < FContentWidths.size(); ++Column)
    FContentWidths[Column] = Header->sectionSizeHint(static_cast<int>(Column));
  for (int Row = 0; Row < FList->topLevelItemCount(); ++Row) {
    const QTreeWidgetItem* Item = FList->topLevelItem(Row);
    for (std::size_t Column = 0; Column < FContentWidths.size(); ++Column) {
      const int Cell = static_cast<int>(Column);
      // A row's own font completes the list's, as the view draws it.
      const QVariant Own = Item->data(Cell, Qt::FontRole);
      const QFont Font = Own.isValid() ? qvariant_cast<QFont>(Own).resolve(FList->font()) : FList->font();
      FContentWidths[Column] = std::max(FContentWidths[Column], CellWidth(Item->text(Cell), Font));
    }
  }
  LayOut();
}

void TResultsColumns::LayOut() {
  // A list not shown yet has no width of its own: the widths wanted stand
  // until it is shown, and its viewport's first resize lays them out.
  const int Available = FList->isVisible() ? FList->viewport()->width() : INT_MAX;
  const std::vector<int> Widths = FitColumnWidths(FBaseWidths, FContentWidths, Available, FMinimumWidth);
  for (std::size_t Column = 0; Column < Widths.size(); ++Column)
    FList->setColumnWidth(static_cast<int>(Column), Widths[Column]);
}

bool TResultsColumns::eventFilter(QObject* Watched, QEvent* Event) {
  // The viewport narrows when the vertical scroll bar comes and widens with
  // the window: the widths follow.
  // Compared with the viewport kept from the start: events also come while
  // the list is being destroyed, when it is no longer one to ask.
  if (Event->type() == QEvent::Resize && Watched == FViewport)
    LayOut();
  return QObject::eventFilter(Watched, Event);
}
