// The contract between a component object and its core, counted at the core.
#include <gtest/gtest.h>

#include <QVariant>

#include <memory>
#include <stdexcept>

#include "frame_fixture.h"

extern "C" {
extern const unsigned char pelnet_image_frametest_start[];
extern const unsigned char pelnet_image_frametest_end[];
}

namespace {

// The test core as the build embedded it in this executable.
pelnet::CoreImage embeddedFrameTest() {
  pelnet::CoreImage image;
  image.data = pelnet_image_frametest_start;
  image.size = static_cast<std::size_t>(pelnet_image_frametest_end - pelnet_image_frametest_start);
  return image;
}

class FrameCalls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { core_ = new TestCore(&embeddedFrameTest); }
  static void TearDownTestSuite() {
    delete core_;
    core_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(counters(), nullptr) << "the embedded test core did not load";
    *counters() = FrameTestCounters{};
    comp_ = std::make_unique<TpelFrameTest>(core_->kind);
  }
  FrameTestCounters *counters() { return core_->counters(); }

  static TestCore *core_;
  std::unique_ptr<TpelFrameTest> comp_;
};
TestCore *FrameCalls::core_ = nullptr;

const QString kNonAscii = QString::fromUtf8("Z\xc3\xbcrich \xe2\x9c\x93 \xf0\x9f\x93\xa1");

TEST_F(FrameCalls, EventCostsOneCallbackWithoutHandlerAndTwoWithOne) {
  struct Case {
    int event;
    bool handler;
    int callbacks;
    int narrowAnswer;
    int handlerRuns;
  };
  const Case cases[] = {
      {ftEvError, false, 1, 0, 0},    {ftEvError, true, 2, PELNET_WANT_WIDE, 1},
      {ftEvResponse, false, 1, 0, 0}, {ftEvResponse, true, 2, PELNET_WANT_WIDE, 1},
      {ftEvPacket, false, 1, 0, 0},   {ftEvPacket, true, 2, PELNET_WANT_WIDE, 1},
      {ftEvBig, false, 1, 0, 0},      {ftEvBig, true, 2, PELNET_WANT_WIDE, 1},
      {ftEvUnknown, false, 1, 0, 0},  {ftEvUnknown, true, 1, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::Message() << "event " << c.event << " handler " << c.handler);
    TpelFrameTest comp(core_->kind);
    int runs = 0;
    if (c.handler) {
      comp.FOnError = [&](QObject *, int, const QString &) { ++runs; };
      comp.FOnResponse = [&](QObject *, int, const QString &, const QString &, int) { ++runs; };
      comp.FOnPacket = [&](QObject *, const QString &, int) { ++runs; };
      comp.FOnBig = [&](QObject *, int64_t) { ++runs; };
    }
    comp.Fire(c.event);
    EXPECT_EQ(counters()->callbacks, c.callbacks);
    EXPECT_EQ(counters()->narrowAnswer, c.narrowAnswer);
    if (c.callbacks == 2) {
      EXPECT_EQ(counters()->wideAnswer, 0);
    }
    EXPECT_EQ(runs, c.handlerRuns);
  }
}

TEST_F(FrameCalls, EventParametersArriveConverted) {
  QObject *sender = nullptr;
  int requestId = 0, time = 0;
  QString source, status = QStringLiteral("not called");
  comp_->FOnResponse = [&](QObject *s, int id, const QString &src, const QString &st, int t) {
    sender = s;
    requestId = id;
    source = src;
    status = st;
    time = t;
  };
  comp_->Fire(ftEvResponse);
  EXPECT_EQ(sender, comp_.get());
  EXPECT_EQ(requestId, 5);
  EXPECT_EQ(source, QString::fromUtf8("Z\xc3\xbcrich \xe2\x9c\x93"));  // non-ASCII survives
  EXPECT_EQ(status, QString());
  EXPECT_EQ(time, 12);

  int64_t big = 0;
  comp_->FOnBig = [&](QObject *, int64_t v) { big = v; };
  comp_->Fire(ftEvBig);
  EXPECT_EQ(big, int64_t(1) << 40);  // read through the pointer its slot carries

  // Raw bytes: kept byte-exact on the narrow firing, text with its length on the wide one.
  QString packet;
  int size = 0;
  comp_->FOnPacket = [&](QObject *, const QString &p, int n) {
    packet = p;
    size = n;
  };
  comp_->Fire(ftEvPacket);
  EXPECT_EQ(comp_->PacketB(), QByteArray("a\0b\xc3\xbf", 5));
  EXPECT_EQ(packet, QString::fromUtf16(u"a\0b\u00ff", 4));
  EXPECT_EQ(size, 4);
}

TEST_F(FrameCalls, PacketBufferIsKeptOnlyWhenHandled) {
  comp_->Fire(ftEvPacket);
  EXPECT_TRUE(comp_->PacketB().isEmpty());
}

TEST_F(FrameCalls, TextsCrossAsUtf16) {
  comp_->setLabel(kNonAscii);
  EXPECT_EQ(counters()->lastTextLength, kNonAscii.size());
  EXPECT_EQ(comp_->Label(), kNonAscii);
  EXPECT_EQ(comp_->Echo(kNonAscii), QStringLiteral("echo:") + kNonAscii);
  comp_->setNames(1, kNonAscii);
  EXPECT_EQ(comp_->Names(1), kNonAscii);
}

TEST_F(FrameCalls, EmptyTextIsAnEmptyStringNotANullPointer) {
  comp_->setLabel(QStringLiteral("something"));
  for (const QString &empty : {QString(), QString(QLatin1String(""))}) {
    comp_->setLabel(empty);
    EXPECT_EQ(counters()->nullTextSets, 0);
    EXPECT_EQ(counters()->lastTextLength, 0);
    EXPECT_EQ(comp_->Label(), QString());
    EXPECT_EQ(comp_->Echo(empty), QStringLiteral("echo:"));
  }
}

TEST_F(FrameCalls, RawBytesKeepTheirLengthAndZeros) {
  const QByteArray bytes("x\0y\0\xff", 5);
  comp_->setLabelB(bytes);
  EXPECT_EQ(comp_->LabelB(), bytes);
  EXPECT_EQ(comp_->ByteCount(bytes), 5);
  EXPECT_EQ(comp_->ByteCount(QByteArray()), 0);
  EXPECT_EQ(comp_->LabelB(), QByteArray());
}

TEST_F(FrameCalls, IntegersAndMethodResults) {
  comp_->setNumber(42);
  EXPECT_EQ(comp_->Number(), 42);
  EXPECT_EQ(comp_->Add(40, 2), 42);
  EXPECT_EQ(comp_->Add(-5, 2), -3);
  // Arguments of other integer widths and Booleans cross as integers.
  struct Probe : TpelFrameTest {
    using TpelCore::callInt;
    using TpelFrameTest::TpelFrameTest;
  } probe(core_->kind);
  EXPECT_EQ(probe.callInt(ftAdd, {true, quint16(65535)}), 65536);
  EXPECT_EQ(probe.callInt(ftAdd, {false, -7LL}), -7);
}

TEST_F(FrameCalls, IndexedReadOutOfRangeRaisesTheIndexText) {
  EXPECT_EQ(comp_->Names(2), QStringLiteral("two"));
  for (quint16 index : {quint16(3), quint16(65535)}) {
    try {
      comp_->Names(index);
      ADD_FAILURE() << "no exception for index " << index;
    } catch (const EpelFrameTest &e) {
      EXPECT_EQ(e.Code(), 280);
      EXPECT_EQ(e.Message(), QStringLiteral("280: Invalid array index value for Names"));
    }
  }
}

TEST_F(FrameCalls, IndexedWriteOutOfRangeRaisesTheCoresOwnError) {
  try {
    comp_->setNames(7, QStringLiteral("x"));
    FAIL() << "no exception";
  } catch (const EpelFrameTest &e) {
    EXPECT_EQ(e.Code(), 280);
    EXPECT_EQ(e.Message(), QStringLiteral("280: List index out of bounds."));
  }
}

TEST_F(FrameCalls, FailuresRaiseTheComponentsException) {
  struct Case {
    std::function<void(TpelFrameTest &)> act;
    int code;
    QString message;
  };
  const Case cases[] = {
      {[](TpelFrameTest &c) { c.Fail(123); }, 123, QString::fromUtf8("123: failure text \xc3\xa4")},
      {[](TpelFrameTest &c) { c.Fail(-1); }, -1, QString::fromUtf8("-1: failure text \xc3\xa4")},
      {[](TpelFrameTest &c) { c.setNumber(-4); }, 101,
       QStringLiteral("101: Negative numbers are refused.")},
  };
  for (const Case &c : cases) {
    try {
      c.act(*comp_);
      ADD_FAILURE() << "no exception for " << c.message.toStdString();
    } catch (const EpelFrameTest &e) {
      EXPECT_EQ(e.Code(), c.code);
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_STREQ(e.what(), c.message.toUtf8().constData());
    }
  }
}

TEST_F(FrameCalls, HandlerExceptionIsRaisedAfterTheCoreReturns) {
  comp_->FOnError = [](QObject *, int, const QString &) {
    throw std::runtime_error("handler broke");
  };
  EXPECT_THROW(comp_->Fire(ftEvError), std::runtime_error);
  EXPECT_EQ(counters()->callbacks, 2);  // the core finished its firing
  comp_->FOnError = nullptr;
  EXPECT_NO_THROW(comp_->Fire(ftEvError));  // nothing left over
}

TEST_F(FrameCalls, AboutReadsZeroAndIgnoresWrites) {
  EXPECT_EQ(comp_->property("About").toInt(), 0);
  comp_->setProperty("About", 5);
  EXPECT_EQ(comp_->About(), 0);
}

TEST_F(FrameCalls, CreationAndDestruction) {
  comp_.reset();
  *counters() = FrameTestCounters{};
  {
    QObject owner;
    new TpelFrameTest(core_->kind, &owner);  // the owner destroys it
    EXPECT_EQ(counters()->creates, 1);
  }
  EXPECT_EQ(counters()->destroys, 1);

  // A core that refuses: the creation error, and no core to destroy.
  counters()->refuseCreate = 1;
  try {
    TpelFrameTest refused(core_->kind);
    FAIL() << "created";
  } catch (const EpelFrameTest &e) {
    EXPECT_EQ(e.Code(), -1);
    EXPECT_EQ(e.Message(), QStringLiteral("-1: ") + QLatin1String(kFrameTestCreationText));
  }
  EXPECT_EQ(counters()->destroys, 1);
  counters()->refuseCreate = 0;

  // A component whose own construction fails after the core exists destroys it once.
  struct Failing : TpelFrameTest {
    explicit Failing(const TpelComponentKind &k) : TpelFrameTest(k) {
      throw std::runtime_error("x");
    }
  };
  EXPECT_THROW(Failing{core_->kind}, std::runtime_error);
  EXPECT_EQ(counters()->creates, 2);
  EXPECT_EQ(counters()->destroys, 2);
}

TEST_F(FrameCalls, DesignDefaultsRunEachInItsOwnGuard) {
  struct WithDefaults : TpelFrameTest {
    explicit WithDefaults(const TpelComponentKind &k) : TpelFrameTest(k) {
      guarded([&] { setNumber(-1); });  // refused by the core
      guarded([&] { setLabel(QStringLiteral("default")); });
    }
  };
  WithDefaults comp(core_->kind);
  EXPECT_EQ(comp.Label(), QStringLiteral("default"));
}

}  // namespace
