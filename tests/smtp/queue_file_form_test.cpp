// The queue file's form check, without files or sockets: what Queue writes
// passes with its parts found, and what a killed writer, a power loss or a
// stray file leaves is refused with the fault it shows.  The fuzz target is
// compiled in, so its seeds replay in every build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "corpus_replay.h"
#include "queue/queue_file_form.h"

#ifndef SMTP_QUEUE_FORM_CORPUS_DIR
#error "SMTP_QUEUE_FORM_CORPUS_DIR must name the form check's seed corpus"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using namespace pelnet::smtp;
using namespace std::string_literals;

const std::string kHead = "MAIL FROM: <a@b>\r\nRCPT TO:<c@d>\r\n";
const std::string kHeaders = "To: c@d\r\nFrom: a@b\r\nSubject: s\r\n\r\n";
const std::string kMessage = kHeaders + "Hello\r\n..\r\n..dot\r\n" + "\r\n.\r\n";
const std::string kWhole = kHead + "DATA\r\n" + kMessage;

std::string verdict(const std::string &file) {
  QueueFileParts parts;
  const char *text = checkQueueFileForm(file, parts);
  return text == nullptr ? "form" : text;
}

TEST(QueueFileForm, WhatQueueWritesPassesWithItsParts) {
  const struct {
    const char *name;
    std::string file;
    std::vector<std::string> commands;
    std::string message;
  } cases[] = {
      {"OneRecipient", kWhole, {"MAIL FROM: <a@b>", "RCPT TO:<c@d>", "DATA"}, kMessage},
      {"RecipientsWithOptions",
       "MAIL FROM: <a@b>\r\nRCPT TO:<c@d> NOTIFY=NEVER\r\nRCPT TO:<e@f>\r\nDATA\r\n" + kMessage,
       {"MAIL FROM: <a@b>", "RCPT TO:<c@d> NOTIFY=NEVER", "RCPT TO:<e@f>", "DATA"},
       kMessage},
      // Lines of the body may hold anything but the end of data.
      {"BodyWithNulBareLineEndsAndDots",
       kHead + "DATA\r\n" + kHeaders + "a\0b\rc\nd\r\n.x\r\n..\r\n\r\n.\r\n"s,
       {"MAIL FROM: <a@b>", "RCPT TO:<c@d>", "DATA"},
       kHeaders + "a\0b\rc\nd\r\n.x\r\n..\r\n\r\n.\r\n"s},
      {"LongestCommandLine",
       "MAIL FROM:" + std::string(kMaxQueueFileLine - 10, 'm') + "\r\nRCPT TO:<c@d>\r\nDATA\r\n" +
           kMessage,
       {"MAIL FROM:" + std::string(kMaxQueueFileLine - 10, 'm'), "RCPT TO:<c@d>", "DATA"},
       kMessage},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    QueueFileParts parts;
    EXPECT_EQ(checkQueueFileForm(k.file, parts), nullptr);
    EXPECT_EQ(std::vector<std::string>(parts.commands.begin(), parts.commands.end()), k.commands);
    EXPECT_EQ(parts.message, k.message);
  }
}

TEST(QueueFileForm, AnythingElseIsRefusedWithItsFault) {
  const struct {
    const char *name;
    std::string file;
    const char *fault;
  } cases[] = {
      {"Empty", "", kTextQueueFileEmpty},
      {"Truncated33Bytes", kHead, kTextQueueFileNoData},
      {"CutInsideTheMailLine", "MAIL FROM: <a", kTextQueueFileLineCut},
      {"CutBetweenCrAndLf", "MAIL FROM: <a@b>\r", kTextQueueFileLineCut},
      {"CutInsideData", kHead + "DA", kTextQueueFileLineCut},
      {"CutInsideTheHeaders", kHead + "DATA\r\nTo: c@", kTextQueueFileNoFinalDot},
      {"CutInsideTheBody", kWhole.substr(0, kWhole.size() - 9), kTextQueueFileNoFinalDot},
      {"CutBeforeTheLastLf", kWhole.substr(0, kWhole.size() - 1), kTextQueueFileNoFinalDot},
      {"NoFinalDot", kHead + "DATA\r\n" + kHeaders + "Hello\r\n", kTextQueueFileNoFinalDot},
      {"NothingAfterData", kHead + "DATA\r\n", kTextQueueFileNoFinalDot},
      {"DotAloneAfterData", kHead + "DATA\r\n.\r\n", kTextQueueFileNoFinalDot},
      {"GarbageLines", "hello\r\nworld\r\n", kTextQueueFileNoMail},
      {"BinaryGarbage",
       "\x7f"
       "ELF\x02\x01\x01\0\0\0"s,
       kTextQueueFileLineCut},
      {"GarbageLineBeforeData", kHead + "QUIT\r\nDATA\r\n" + kMessage, kTextQueueFileStrayLine},
      {"CommandBeforeMail", "RSET\r\n" + kHead + "DATA\r\n" + kMessage, kTextQueueFileNoMail},
      {"LowerCaseMail", "mail from: <a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n" + kMessage,
       kTextQueueFileNoMail},
      {"NoRecipient", "MAIL FROM: <a@b>\r\nDATA\r\n" + kMessage, kTextQueueFileNoRcpt},
      {"SecondMail", kHead + "MAIL FROM: <x@y>\r\nDATA\r\n" + kMessage, kTextQueueFileStrayLine},
      {"NulInMailLine", "MAIL FROM: <a\0@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n"s + kMessage,
       kTextQueueFileForbiddenByte},
      {"BareLfInCommand", "MAIL FROM: <a@b>\nRCPT TO:<c@d>\r\nDATA\r\n" + kMessage,
       kTextQueueFileForbiddenByte},
      {"BareCrInCommand", "MAIL FROM: <a@b>\rRSET\r\nRCPT TO:<c@d>\r\nDATA\r\n" + kMessage,
       kTextQueueFileForbiddenByte},
      {"DataWithSpace", kHead + "DATA \r\n" + kMessage, kTextQueueFileStrayLine},
      {"SecondEndOfDataEarly", kHead + "DATA\r\n" + kHeaders + "x\r\n.\r\nRSET\r\n\r\n.\r\n",
       kTextQueueFileEarlyDot},
      {"DotLineFirstInMessage", kHead + "DATA\r\n.\r\nRSET\r\n\r\n.\r\n", kTextQueueFileEarlyDot},
      {"EndlessFirstLine", std::string(kMaxQueueFileLine + 10, 'M'), kTextQueueFileLineTooLong},
      {"CommandLineOneTooLong",
       "MAIL FROM:" + std::string(kMaxQueueFileLine - 9, 'm') + "\r\nRCPT TO:<c@d>\r\nDATA\r\n" +
           kMessage,
       kTextQueueFileLineTooLong},
      {"OverTheSizeCap", kHead + "DATA\r\n" + std::string(kMaxQueueFileSize, 'x') + "\r\n.\r\n",
       kTextQueueFileTooLarge},
  };
  for (const auto &k : cases) EXPECT_EQ(verdict(k.file), k.fault) << k.name;
}

// Every seed runs through the fuzz target's own checks; the named ones also
// give the verdict they were made for.
TEST(QueueFileForm, SeedCorpusReplays) {
  const std::map<std::string, std::string> expected = {
      {"well_formed", "form"},
      {"two_recipients_doubled_dots", "form"},
      {"empty", kTextQueueFileEmpty},
      {"truncated_before_data", kTextQueueFileNoData},
      {"cut_in_body", kTextQueueFileNoFinalDot},
      {"no_final_dot", kTextQueueFileNoFinalDot},
      {"garbage_before_data", kTextQueueFileStrayLine},
      {"nul_in_mail_line", kTextQueueFileForbiddenByte},
      {"early_end_of_data", kTextQueueFileEarlyDot},
      {"dot_right_after_data", kTextQueueFileEarlyDot},
      {"bare_lf_in_command", kTextQueueFileForbiddenByte},
      {"no_recipient", kTextQueueFileNoRcpt},
  };
  testsupport::replayCorpus(SMTP_QUEUE_FORM_CORPUS_DIR, LLVMFuzzerTestOneInput, expected,
                            [](const std::string &bytes, const std::string &outcome) {
                              EXPECT_EQ(verdict(bytes), outcome);
                            });
}

}  // namespace
