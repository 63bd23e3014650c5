#ifndef RTC_BASE_LOCATION_H_
#define RTC_BASE_LOCATION_H_

#include <string>

namespace rtc {

// Where a message was posted from, for diagnostics: the posting function's name and
// "file:line". Both point to static strings, so a location is copied freely and owns
// nothing. Build one with RTC_FROM_HERE.
class Location {
 public:
  // "Unknown" for both.
  Location();
  Location(const char* function_name, const char* file_and_line);
  Location(const Location& other) = default;
  Location& operator=(const Location& other) = default;

  const char* function_name() const { return function_name_; }
  const char* file_and_line() const { return file_and_line_; }

  // "function@file:line", at most 255 characters.
  std::string ToString() const;

 private:
  const char* function_name_;
  const char* file_and_line_;
};

}  // namespace rtc

#define RTC_LOCATION_STRINGIZE_(x) #x
#define RTC_LOCATION_STRINGIZE(x) RTC_LOCATION_STRINGIZE_(x)

// The location of the statement that names it.
#define RTC_FROM_HERE RTC_FROM_HERE_WITH_FUNCTION(__FUNCTION__)
#define RTC_FROM_HERE_WITH_FUNCTION(function_name) \
  ::rtc::Location(function_name, __FILE__ ":" RTC_LOCATION_STRINGIZE(__LINE__))

#endif  // RTC_BASE_LOCATION_H_
