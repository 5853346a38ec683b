#pragma once
#include <string>
#include <string_view>

namespace tallysv {

// A command text as it may be shown anywhere outside the player's own
// screen (console lines, the audit log): the command word and what names
// its target stay, every password it carries becomes "********", eight
// stars whatever its length, so that neither the password nor its length
// is given away. The text reads as ending at its first NUL, as the
// commands read it.
//
// Password commands are recognised by their word without regard to case
// and whatever the player's level, so a mistyped or unreachable one is
// masked too, and so is one after blanks or tabs (which no command reads,
// but which a typing slip puts there). A blank or "=" after the word stays; any other byte there
// is masked with the argument. In the "<target>:<password>" commands what
// follows the first ":" is masked, also when it is empty; without a ":"
// the whole argument is masked (after ?addop's switches), except for
// ?squadjoin, whose form without ":" names a squad only. ?changeop keeps
// an entry number of digits before its ":"; anything else there may be
// the operator's own new password and is masked whole.
std::string maskCommandSecrets(std::string_view commandText);

}  // namespace tallysv
