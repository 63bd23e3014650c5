#ifndef FUZZ_COMMON_CONNECTION_REPORT_H_
#define FUZZ_COMMON_CONNECTION_REPORT_H_

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fuzz/common/fuzz_input.h"
#include "rtc_base/sigslot.h"
#include "src/connection.h"

namespace zek_fuzz {

// One thing a connection told its owner: a status report, or a received message.
struct Report {
  int status = 0;
  unsigned code = 0;
  std::string text;  // the status text, or the message
  bool is_message = false;

  static Report Status(int status, unsigned code, const std::string& text) {
    Report r;
    r.status = status;
    r.code = code;
    r.text = text;
    return r;
  }
  static Report Message(const std::string& text) {
    Report r;
    r.text = text;
    r.is_message = true;
    return r;
  }
  bool operator==(const Report& o) const {
    return status == o.status && code == o.code && text == o.text && is_message == o.is_message;
  }
  std::string ToString() const {
    if (is_message)
      return "message of " + std::to_string(text.size()) + " bytes";
    return "status " + std::to_string(status) + " code " + std::to_string(code) + " \"" +
           text.substr(0, 60) + "\"";
  }
};

// Records what a connection reports, in order.
class ReportRecorder : public sigslot::has_slots<> {
 public:
  void Attach(tavix::im::Connection* connection) {
    connection->SignalStatusChange.connect(this, &ReportRecorder::OnStatus);
    connection->SignalRecvMessage.connect(this, &ReportRecorder::OnMessage);
  }
  void OnStatus(tavix::im::Connection*,
                tavix::im::Connection::ConnStatus status,
                unsigned code,
                std::string text) {
    reports.push_back(Report::Status(status, code, text));
  }
  void OnMessage(tavix::im::Connection*, std::string& message) {
    reports.push_back(Report::Message(message));
  }

  std::vector<Report> reports;
};

// The reports must be the model's, one for one.
inline void CompareReports(const std::vector<Report>& real, const std::vector<Report>& model) {
  for (size_t i = 0; i < real.size() || i < model.size(); ++i) {
    ZEK_FUZZ_CHECK(i < real.size() && i < model.size() && real[i] == model[i],
                   "report %zu: connection %s, model %s", i,
                   i < real.size() ? real[i].ToString().c_str() : "(none)",
                   i < model.size() ? model[i].ToString().c_str() : "(none)");
  }
}

// With ZEK_FUZZ_VERBOSE set, prints the reports: for reading what a reproducer does.
inline void MaybePrintReports(const std::vector<Report>& reports) {
  if (!getenv("ZEK_FUZZ_VERBOSE"))
    return;
  for (const Report& report : reports)
    fprintf(stderr, "  %s\n", report.ToString().c_str());
}

}  // namespace zek_fuzz

#endif  // FUZZ_COMMON_CONNECTION_REPORT_H_
