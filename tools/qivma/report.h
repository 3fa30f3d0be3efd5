// What the commands print: text for people, one JSON document, or JSON Lines.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "tools/hostkit/value_format.h"
#include "tools/qivma/options.h"
#include "tools/qivma/transfer.h"

// A result's text: what was asked for goes to stdout, failures, hints and
// notes on the line go to stderr, so that a pipe gets values only.
struct TextLines {
    std::vector<std::string> out;
    std::vector<std::string> err;
};

class Output {
  public:
    Output(OutputMode mode, const std::string &command);

    bool Json() const { return mode_ != OutputMode::kText; }
    // A record of the command: its text lines go out at once; as JSON Lines
    // the record is one line, in a document it joins "results", and the
    // lines for stderr are written in every mode.
    void Record(const ::Json &record, const TextLines &text);
    void Record(const ::Json &record, const std::vector<std::string> &text) {
        Record(record, TextLines{text, {}});
    }
    // A field of the document's top level (ignored by text and JSON Lines,
    // which print `text` instead, and as JSON Lines `record` if given).
    void Set(const std::string &key, const ::Json &value);
    void Summary(const std::string &key, const ::Json &value, const std::vector<std::string> &text);
    // Prints the document; returns `status`.
    int Finish(int status);

  private:
    OutputMode mode_;
    ::Json document_;
};

// A result as text lines and as JSON, shown with the user's format. With
// `quiet`, stdout gets the values alone, one to a line.
TextLines ResultText(const TagResult &result, const TagOptions &options, bool trace,
                     bool showStation, bool quiet = false);
Json ResultJson(const TagResult &result, const TagOptions &options, bool trace);

// The label of an element, and of a whole tag ("D0-D59", "D100-D101"), with
// the station ("07:D100") when the command names several.
std::string ElementLabel(const TagPlan &plan, const Element &element, bool showStation);
std::string RangeLabel(const TagPlan &plan, bool showStation);

// A value as a script takes it: a number in plain digits, a text without
// quotes ("100", "0x0064", "3.25").
std::string PlainValue(const ShownValue &shown);

// A command line that cannot be followed: said on stderr, and as a JSON
// object on stdout when JSON was asked for.
void PrintUsageError(OutputMode mode, const std::string &command, const UsageError &error);

// The JSON text of one value, as the output prints it.
std::string Dump(const Json &value, bool pretty);
