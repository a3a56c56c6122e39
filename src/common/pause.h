// Suspends the calling thread; the countdown and the update loop's cycle pause use it.
#pragma once

void PauseMilliseconds(unsigned milliseconds);
