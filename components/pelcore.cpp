#include "pelcore.h"

#include <QDebug>

#include <array>
#include <vector>

#include "close_interrupt.h"

namespace {

// Passed for an empty text or byte string so the core never sees a null pointer.
const char16_t kEmptyWide[1] = {0};
const char kEmptyBytes[1] = {0};

const QString kIndexText = QStringLiteral("Invalid array index value for ");

}  // namespace

// ---------------------------------------------------------------- EPelnet

EPelnet::EPelnet(int err, const QString &desc)
    : FCode(err), FMessage(CreateCode(err, desc)), FUtf8(FMessage.toStdString()) {}

QString EPelnet::CreateCode(int err, const QString &desc) {
  return QString::number(err) + QStringLiteral(": ") + desc;
}

// ---------------------------------------------------------------- arguments

QString TpelEventArgs::text(int i) const {
  const auto *p = reinterpret_cast<const char16_t *>(integer(i));
  return p ? QString::fromUtf16(p) : QString();
}

QString TpelEventArgs::textWithLength(int i) const {
  const auto *p = reinterpret_cast<const char16_t *>(integer(i));
  const int n = length(i);
  return p && n > 0 ? QString::fromUtf16(p, n) : QString();
}

QByteArray TpelEventArgs::bytes(int i) const {
  const auto *p = reinterpret_cast<const char *>(integer(i));
  const int n = length(i);
  return p && n > 0 ? QByteArray(p, n) : QByteArray();
}

int64_t TpelEventArgs::int64(int i) const {
  const auto *p = reinterpret_cast<const int64_t *>(integer(i));
  return p ? *p : 0;
}

pelnet_slot TpelArg::slot() const {
  switch (kind_) {
    case Int:
      return int_;
    case Text:
      return reinterpret_cast<pelnet_slot>(
          text_.isEmpty() ? kEmptyWide : reinterpret_cast<const char16_t *>(text_.utf16()));
    case Bytes:
      return reinterpret_cast<pelnet_slot>(bytes_.isEmpty() ? kEmptyBytes : bytes_.constData());
  }
  return 0;
}

// ---------------------------------------------------------------- TpelCore

// Marks the component as inside a core call for the close/quit interrupt and
// raises a handler's exception once the core has returned.
class TpelCore::CallScope {
 public:
  explicit CallScope(const TpelCore *c) : c_(const_cast<TpelCore *>(c)) {
    if (c_->callDepth_++ == 0) {
      c_->interruptSent_ = false;
      pelnet::EnterComponentCall(c_);
    }
  }
  ~CallScope() {
    if (--c_->callDepth_ == 0) pelnet::LeaveComponentCall(c_);
  }
  // Called after the core returned: a handler's failure wins over the result.
  void rethrowHandlerFailure() {
    if (c_->handlerFailure_) {
      std::exception_ptr e = std::exchange(c_->handlerFailure_, nullptr);
      std::rethrow_exception(e);
    }
  }

 private:
  TpelCore *c_;
};

TpelCore::TpelCore(QObject *owner, const TpelComponentKind &kind) : QObject(owner), kind_(kind) {
  if (fn().Create) m_ctl = fn().Create(&TpelCore::eventCallback, this);
  if (!m_ctl) raise(-1, QString::fromLatin1(kind_.creationText));
  pelnet::EnsureCloseInterrupt();
}

TpelCore::~TpelCore() {
  pelnet::ForgetComponent(this);
  if (m_ctl && fn().Destroy) fn().Destroy(m_ctl);
  m_ctl = nullptr;
}

void TpelCore::guarded(const std::function<void()> &write) {
  try {
    write();
  } catch (...) {
  }
}

void TpelCore::raise(int code, const QString &text) const {
  QString t = text;
  if (t.isEmpty() && m_ctl && fn().GetLastError)
    t = QString::fromLocal8Bit(fn().GetLastError(m_ctl));
  kind_.raise(code, t);
  throw EPelnet(code, t);  // not reached: every kind's raise throws
}

void TpelCore::interruptWaitingCall() {
  if (callDepth_ == 0 || interruptSent_ || !m_ctl || !fn().Do) return;
  interruptSent_ = true;
  std::array<pelnet_slot, 1> args{0};
  std::array<int, 1> lengths{0};
  fn().Do(m_ctl, kind_.interruptMethod + PELNET_WIDE_OFFSET, 0, args.data(), lengths.data());
}

// ---- events

bool TpelCore::hasHandler(int) const { return false; }
void TpelCore::keepNarrowEvent(int, const TpelEventArgs &) {}
void TpelCore::deliverEvent(int, const TpelEventArgs &) {}

int TpelCore::eventCallback(void *user, int eventId, int paramCount, pelnet_slot *params,
                            int *lengths) {
  return user ? static_cast<TpelCore *>(user)->handleEvent(eventId, paramCount, params, lengths)
              : 0;
}

int TpelCore::handleEvent(int eventId, int paramCount, pelnet_slot *params, int *lengths) {
  const TpelEventArgs args(paramCount, params, lengths);
  if (eventId <= PELNET_WIDE_OFFSET) {
    if (!hasHandler(eventId)) return 0;  // no second firing
    keepNarrowEvent(eventId, args);
    return PELNET_WANT_WIDE;
  }
  const int plain = eventId - PELNET_WIDE_OFFSET;
  if (!hasHandler(plain)) return 0;
  // An exception must not unwind through the core: keep it for the caller.
  try {
    deliverEvent(plain, args);
  } catch (...) {
    if (callDepth_ > 0) {
      if (!handlerFailure_) handlerFailure_ = std::current_exception();
    } else {
      qWarning("pelcore: exception from an event handler outside any component call dropped");
    }
  }
  return 0;
}

// ---- properties

int TpelCore::getInt(int id) const {
  if (!m_ctl || !fn().Get) return 0;
  return int(fn().Get(m_ctl, id + PELNET_WIDE_OFFSET, 0, nullptr));
}

void TpelCore::setInt(int id, int value) { setIndexedInt(id, 0, value); }

QString TpelCore::getText(int id) const {
  if (!m_ctl || !fn().Get) return QString();
  const auto *p =
      reinterpret_cast<const char16_t *>(fn().Get(m_ctl, id + PELNET_WIDE_OFFSET, 0, nullptr));
  return p ? QString::fromUtf16(p) : QString();
}

void TpelCore::setText(int id, const QString &value) { setIndexedText(id, 0, value); }

QByteArray TpelCore::getBytes(int id) const {
  if (!m_ctl || !fn().Get) return QByteArray();
  int length = 0;
  const auto *p = reinterpret_cast<const char *>(fn().Get(m_ctl, id, 0, &length));
  return p && length > 0 ? QByteArray(p, length) : QByteArray();
}

void TpelCore::setBytes(int id, const QByteArray &value) {
  if (!m_ctl || !fn().Set) return;
  const TpelArg arg(value);
  CallScope scope(this);
  const int code = fn().Set(m_ctl, id, 0, arg.slot(), arg.length());
  scope.rethrowHandlerFailure();
  if (code != 0) raise(code);
}

void TpelCore::checkIndex(int id, quint16 index, const QString &name) const {
  if (!m_ctl || !fn().CheckIndex) return;
  const int code = fn().CheckIndex(m_ctl, id, index);
  if (code != 0) raise(code, kIndexText + name);
}

QString TpelCore::getIndexedText(int id, quint16 index, const QString &name) const {
  checkIndex(id, index, name);
  if (!m_ctl || !fn().Get) return QString();
  const auto *p =
      reinterpret_cast<const char16_t *>(fn().Get(m_ctl, id + PELNET_WIDE_OFFSET, index, nullptr));
  return p ? QString::fromUtf16(p) : QString();
}

int TpelCore::getIndexedInt(int id, quint16 index, const QString &name) const {
  checkIndex(id, index, name);
  if (!m_ctl || !fn().Get) return 0;
  return int(fn().Get(m_ctl, id + PELNET_WIDE_OFFSET, index, nullptr));
}

void TpelCore::setIndexedText(int id, quint16 index, const QString &value) {
  if (!m_ctl || !fn().Set) return;
  const TpelArg arg(value);
  CallScope scope(this);
  const int code = fn().Set(m_ctl, id + PELNET_WIDE_OFFSET, index, arg.slot(), 0);
  scope.rethrowHandlerFailure();
  if (code != 0) raise(code);
}

void TpelCore::setIndexedInt(int id, quint16 index, int value) {
  if (!m_ctl || !fn().Set) return;
  CallScope scope(this);
  const int code = fn().Set(m_ctl, id, index, value, 0);
  scope.rethrowHandlerFailure();
  if (code != 0) raise(code);
}

// ---- methods

pelnet_slot TpelCore::doMethod(int id, std::initializer_list<TpelArg> args) {
  if (!m_ctl || !fn().Do) return 0;
  // Slots 0..n-1 carry the arguments, slot n the result; the rest stay 0.
  constexpr std::size_t kInline = 16;
  const std::size_t n = args.size();
  std::array<pelnet_slot, kInline> slotBuf{};
  std::array<int, kInline> lengthBuf{};
  std::vector<pelnet_slot> slotHeap;
  std::vector<int> lengthHeap;
  pelnet_slot *argSlots = slotBuf.data();
  int *lengths = lengthBuf.data();
  if (n + 1 > kInline) {
    slotHeap.assign(n + 1, 0);
    lengthHeap.assign(n + 1, 0);
    argSlots = slotHeap.data();
    lengths = lengthHeap.data();
  }
  std::size_t i = 0;
  for (const TpelArg &a : args) {
    argSlots[i] = a.slot();
    lengths[i] = a.length();
    ++i;
  }
  CallScope scope(this);
  const int code = fn().Do(m_ctl, id + PELNET_WIDE_OFFSET, int(n), argSlots, lengths);
  scope.rethrowHandlerFailure();
  if (code != 0) raise(code);
  return argSlots[n];
}

void TpelCore::call(int id, std::initializer_list<TpelArg> args) { doMethod(id, args); }

QString TpelCore::callText(int id, std::initializer_list<TpelArg> args) {
  const auto *p = reinterpret_cast<const char16_t *>(doMethod(id, args));
  return p ? QString::fromUtf16(p) : QString();
}

intptr_t TpelCore::callInt(int id, std::initializer_list<TpelArg> args) {
  return doMethod(id, args);
}
