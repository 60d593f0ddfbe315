// RecordToFile: the traffic of one connection written as a script that plays
// the server's side.  Every block the client sent becomes an "expect -exact"
// line, every block it received a "send -nonewline" line.
#pragma once

#include <string>
#include <string_view>

namespace pelnet::smtp {

// CR LF, the verb, the escaped bytes in double quotes, CR LF.
std::string recordBlockText(bool sent, std::string_view bytes);
void appendRecordBlock(std::string &out, bool sent, std::string_view bytes);
// The bytes escaped for the script: NUL as \000, CR and LF as they are,
// printable ASCII as it is with a backslash before \ $ " { } [ ], any other
// byte as a backslash and three octal digits.
void appendEscaped(std::string &out, std::string_view bytes);

class TrafficRecord {
 public:
  TrafficRecord() = default;
  ~TrafficRecord() { close(); }
  TrafficRecord(const TrafficRecord &) = delete;
  TrafficRecord &operator=(const TrafficRecord &) = delete;

  // Creates the file anew (earlier content is lost); 0 or a Winsock-style errno code.
  int open(const std::string &path);
  bool isOpen() const { return fd_ >= 0; }
  // Writes one block; a failed write is not the connection's concern and is ignored.
  void write(bool sent, std::string_view bytes);
  void close();

 private:
  int fd_ = -1;
  std::string scratch_;
};

}  // namespace pelnet::smtp
