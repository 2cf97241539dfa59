#include "app/man_page.h"

namespace lumeno::app {

namespace {

bool startsOptionWord(std::string_view text, std::size_t wordStart) {
    while (wordStart < text.size() && (text[wordStart] == '(' || text[wordStart] == '"' || text[wordStart] == '\''))
        ++wordStart;
    return wordStart < text.size() && text[wordStart] == '-';
}

// Bold option names ("--help, -h" gives each its own), then the argument in italics.
std::string optionHead(const OptionDoc& option) {
    std::string head;
    std::string_view names = option.names;
    while (!names.empty()) {
        const auto comma = names.find(", ");
        if (!head.empty()) head += ", ";
        head += "\\fB" + manText(names.substr(0, comma)) + "\\fR";
        names = comma == std::string_view::npos ? std::string_view{} : names.substr(comma + 2);
    }
    if (!option.argument.empty()) head += " \\fI" + manText(option.argument) + "\\fR";
    return head;
}

constexpr std::string_view kDescription = R"(Lumeno captures a microphone or mixing-desk feed, or the sound server's default input;
listeners on the same network open the listener page on their own phones and hear it live.
With live transcription switched on they also get captions from an offline speech recogniser.
.PP
Without \fB\-\-headless\fR, Lumeno opens its window, which shows the input, the level meter,
the stream button, the listener address with its QR code and the number of listeners.
With \fB\-\-headless\fR it runs as a service without a window and logs to standard output.
.PP
Settings are kept in \fIsettings.json\fR in the config folder and saved atomically after
every change.
SIGINT and SIGTERM stop Lumeno cleanly: listeners are disconnected and settings are saved.
)";

constexpr std::string_view kTail = R"(.SH ENVIRONMENT
.TP
.B XDG_CONFIG_HOME
The config folder is \fI$XDG_CONFIG_HOME/lumeno\fR, or \fI~/.config/lumeno\fR when it is not set.
.TP
.B LUMENO_MODEL_DIR
Colon-separated folders searched for speech models, before
\fI/usr/share/pocketsphinx/model\fR.
.SH FILES
.TP
.I ~/.config/lumeno/settings.json
The settings.
.TP
.I ~/.config/lumeno/lumeno.env
Read by the user service \fIlumeno.service\fR:
\fBLUMENO_OPTIONS\fR holds extra options for \fBlumeno \-\-headless\fR.
.SH EXIT STATUS
0 on success; 2 for an unknown option, a bad value, a setting that cannot be stored, or
no display without \fB\-\-headless\fR.
.SH EXAMPLES
Stream the built-in recording without a window:
.PP
.RS
.nf
lumeno \-\-headless \-\-demo
.fi
.RE
.PP
Run the service now and at every login:
.PP
.RS
.nf
systemctl \-\-user enable \-\-now lumeno
.fi
.RE
.SH SEE ALSO
.BR systemctl (1),
.BR loginctl (1)
)";

}  // namespace

std::string manText(std::string_view plain) {
    std::string out;
    bool lineStart = true;
    bool optionWord = false;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const char c = plain[i];
        if (i == 0 || plain[i - 1] == ' ' || plain[i - 1] == '\n') optionWord = startsOptionWord(plain, i);
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-' && optionWord)
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string manPage(std::span<const OptionDoc> options, std::string_view version, std::string_view date) {
    std::string page;
    page += ".TH LUMENO 1 \"" + manText(date) + "\" \"lumeno " + manText(version) + "\" \"User Commands\"\n";
    page += ".SH NAME\nlumeno \\- assistive listening service with live captions\n";
    page += ".SH SYNOPSIS\n.B lumeno\n[\\fIoptions\\fR]\n";
    page += ".SH DESCRIPTION\n" + manText(kProgramSummary) + "\n.PP\n" + std::string(kDescription);
    page += ".SH OPTIONS\n";
    for (const auto& option : options) {
        std::string description = manText(option.description);
        for (auto& c : description)
            if (c == '\n') c = ' ';  // --help's line breaks; groff fills the lines itself
        page += ".TP\n" + optionHead(option) + "\n" + description + "\n";
    }
    page += std::string(kTail);
    return page;
}

}  // namespace lumeno::app
