// The columns of the results list as wide as their texts while the list has
// room: no device name is cut beside a column that only pads the row, and
// no column swallows the width the others need.
#pragma once

#include <QObject>

#include <vector>

class QFont;
class QTreeWidget;
class QWidget;

// The widths of columns that fit Available pixels where they can.  Each
// column wants its Base width or its Contents (widest text), whichever is
// more.  When the wants do not fit, the columns wider than their contents
// give up that slack first, the one with the most first; when that is not
// enough, the widest columns are cut, down to Minimum.  Never wider than
// wanted; the sum exceeds Available only when every column is at Minimum.
std::vector<int> FitColumnWidths(const std::vector<int>& Base, const std::vector<int>& Contents,
                                 int Available, int Minimum);

// Lays out the columns of List by FitColumnWidths within its visible width.
// The texts are measured by Measure (after the rows changed); the widths
// follow the list's width by themselves.
class TResultsColumns : public QObject {
public:
  TResultsColumns(QTreeWidget* List, std::vector<int> BaseWidths, int MinimumWidth);

  // Measures the captions and every row's texts, then lays out.
  void Measure();
  // The widths again from the last measure, for the list's present width.
  void LayOut();
  // The pixels a cell needs to show Text whole, its margins included, in
  // the list's font or in Font where a row has one of its own (a changed
  // row is bold, and bold text is wider).
  int CellWidth(const QString& Text) const;
  int CellWidth(const QString& Text, const QFont& Font) const;

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
  QTreeWidget* FList;
  QWidget* FViewport;
  const std::vector<int> FBaseWidths;
  const int FMinimumWidth;
  std::vector<int> FContentWidths;
};
