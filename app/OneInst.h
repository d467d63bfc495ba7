// The single-instance rule: one copy of the wizard per user and prefix at a time.
#pragma once

// Takes the instance lock named with the application title and the prefix (under Wine
// named objects live per prefix) and keeps it for the rest of
// the process. True only when another process already holds it; a lock that cannot be
// made at all lets the wizard start.
bool AlreadyRunning();
