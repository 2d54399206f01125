#pragma once
// The switch of the crypt layer's two fast paths, each of which takes a
// shortcut that gives the same result as the plain way it stands beside:
//
// - the form of a signed message (SignMessage.cpp): a size query keeps the
//   message it built with stand-ins for the call that completes it, and the
//   next size query of the same form takes it; plain: every call builds its
//   message whole.
// - the step of a walk (CertStore.cpp, with StepWalked and WalkedFrom in
//   CertContext.cpp): the context a thread's walk gave out last moves on in
//   place, without a lock or a look through the live contexts; plain: the
//   context passed in is looked up among the live ones, and the step goes
//   through NextCertContext.
//
// docs/architecture.md ("Fast paths") says what each one assumes and how the
// two ways are held to the same results.

namespace platform::crypt {

// False when OSTREL_FAST_PATHS is "0" at the first call in the process: both
// shortcuts are then off for the process's life.
bool FastPaths();

}  // namespace platform::crypt
