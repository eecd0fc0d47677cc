// What test builds (VELMAR_TEST_HOOKS) add to the programs, so that tests can
// run them as processes without a person in front of them:
//
//   VELMAR_TEST_SLEEP_DIVISOR=N   every fixed wait lasts 1/N of its time
//   VELMAR_TEST_SLEEP_LOG=FILE    every fixed wait is recorded there, one line
//                                 with its full length in milliseconds
//   VELMAR_TEST_MSGBOX_LOG=FILE   every message box shown is recorded there,
//                                 one line "title<TAB>text<TAB>grade<TAB>
//                                 cancel hidden (0/1)<TAB>focus" in UTF-8
//   VELMAR_TEST_MSGBOX_ANSWER=A,B answers for the boxes in turn, each
//                                 "confirm", "cancel" or "escape" (the last
//                                 one repeats; default "confirm"), given the
//                                 way a person would: a click or a key press
//   VELMAR_TEST_EXIT=1            the uninstaller's exit button is clicked
//                                 once its success panel shows (unset: a
//                                 person clicks it)
//   VELMAR_TEST_RELEASE=FILE      a box waits for its answer, and the success
//                                 panel for its click, until FILE exists,
//                                 for as long as that takes: the test makes
//                                 it once it is done looking (screenshots).
//                                 The hook removes it as it acts, so that
//                                 each box waits for a file of its own.
//                                 Unset: they are answered 100 ms after
//                                 they show
//
// The boxes and the success panel are watched from outside: an event filter
// on the application sees them appear, so the product's classes carry
// nothing of the tests. Release builds have none of this: install() does
// nothing there.
#pragma once

namespace testhooks {

#ifdef VELMAR_TEST_HOOKS
// Call first in main, before the application object exists.
void install();
#else
inline void install() {}
#endif

} // namespace testhooks
