// What the commands print: text for people, one JSON document, or JSON Lines.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "tools/qivma/options.h"
#include "tools/qivma/transfer.h"
#include "tools/qivma/value_format.h"

class Output {
  public:
    Output(OutputMode mode, const std::string &command);

    bool Json() const { return mode_ != OutputMode::kText; }
    // A record of the command: its text lines go to stdout at once; as JSON
    // Lines the record is one line; in a document it joins "results".
    void Record(const ::Json &record, const std::vector<std::string> &text);
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

// A result as text lines and as JSON, shown with the user's format.
std::vector<std::string> ResultText(const TagResult &result, const TagOptions &options, bool trace,
                                    bool showStation);
Json ResultJson(const TagResult &result, const TagOptions &options, bool trace);

// A command line that cannot be followed: said on stderr, and as a JSON
// object on stdout when JSON was asked for.
void PrintUsageError(OutputMode mode, const std::string &command, const UsageError &error);

// The JSON text of one value, as the output prints it.
std::string Dump(const Json &value, bool pretty);
