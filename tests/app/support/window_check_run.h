// What the tests of the main window's check run share: the hosts they add to
// the shared tun responder (ping_net.h), and the results list read back as
// text.
#pragma once

#include <QString>
#include <QTreeWidget>

#include <ostream>
#include <tuple>
#include <vector>

#include "ping_net.h"
#include "window/form_main.h"

namespace windowcheck {

inline constexpr const char *kHalfHost = "198.18.0.10";  // answers every other request
inline constexpr const char *kSecondEcho = "198.18.0.11";
inline constexpr const char *kThirdEcho = "198.18.0.12";

// The responder of the test program with the three hosts above answering;
// the caller skips the test when it is not ok().
inline pingtest::TunResponder *checkRunResponder() {
  pingtest::TunResponder *responder = pingtest::sharedResponder(8);
  if (responder->ok()) {
    responder->setHost(kHalfHost, {pingtest::Reply::EveryOther});
    responder->setHost(kSecondEcho, {pingtest::Reply::Echo});
    responder->setHost(kThirdEcho, {pingtest::Reply::Echo});
  }
  return responder;
}

// One row of the results list: the name, address and status columns.
struct RowText {
  QString name, address, status;
  bool operator==(const RowText &) const = default;
  bool operator<(const RowText &o) const {
    return std::tie(name, address, status) < std::tie(o.name, o.address, o.status);
  }
};
inline std::ostream &operator<<(std::ostream &os, const RowText &r) {
  return os << r.name.toStdString() << "|" << r.address.toStdString() << "|"
            << r.status.toStdString();
}

// The rows of the window's results list, in the list's order.
inline std::vector<RowText> resultRows(const TFormMain &form) {
  std::vector<RowText> out;
  for (int i = 0; i < form.ListViewResults->topLevelItemCount(); ++i) {
    const QTreeWidgetItem *row = form.ListViewResults->topLevelItem(i);
    out.push_back({row->text(0), row->text(1), row->text(2)});
  }
  return out;
}

}  // namespace windowcheck
