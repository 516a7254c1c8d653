// One run at a time in a session: a copy started while another is under way joins it.
#pragma once

namespace vorn {

// Marks this copy's run as under way in the session, or, when another copy's is, brings that
// copy's window to the front and returns true: this copy then ends, with nothing shown and
// nothing downloaded. Returns false (run as usual) when no copy is under way, when the other one
// ends meanwhile, or when no window of another copy appears within a few seconds: the name may be
// held by something else, and a run of its own is then the safe choice for the user.
bool join_running_copy();

}  // namespace vorn
