#pragma once
// The coverage of an archive written for people and programs: one writer
// per format behind one interface.
#include <memory>
#include <string>

#include "archive/coverage.h"

namespace archive {

class ICoverageWriter {
 public:
  virtual ~ICoverageWriter() = default;
  // archive: what the coverage is of, for titles ("data source VEZ, /srv/vez/data").
  virtual std::string Write(const Coverage& coverage, const std::string& archive) const = 0;
};

// "text", "csv", "json" or "svg"; nullptr for another name.
std::unique_ptr<ICoverageWriter> MakeCoverageWriter(const std::string& format);

// Aligned for a terminal: a table of the channels, then each channel's
// spans, gaps and overlaps in time order.
class CTextCoverageWriter : public ICoverageWriter {
 public:
  std::string Write(const Coverage& coverage, const std::string& archive) const override;
};

// A header line, then one line per span, gap and overlap:
// station,channel,kind,begin,end,seconds,sps,files,overlapping
class CCsvCoverageWriter : public ICoverageWriter {
 public:
  std::string Write(const Coverage& coverage, const std::string& archive) const override;
};

// One object; times ISO 8601 UTC to the microsecond, lengths in seconds.
class CJsonCoverageWriter : public ICoverageWriter {
 public:
  std::string Write(const Coverage& coverage, const std::string& archive) const override;
};

// A sample rate as people write it: "100", "0.1", "40.5".
std::string FormatRate(double sps);

}  // namespace archive
