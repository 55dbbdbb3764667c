// The state behind one ZantuSession object.
#pragma once

namespace zantu::ffi {

// Opening a session arrives with the session steps; until then the type only
// exists so that the class and its constructor signature can be imported.
class Session {};

}  // namespace zantu::ffi
