"""relay_chain: the one way to run the chain (the relay between the simulator's side and a panel
on COM4) from outside, for the end-to-end tests, the emulators' tests, the benchmark, the soak
and the demo. Standard library only. Each module owns one part:

  wine       template prefix, a copy per run with its own wineserver, COM4, Windows programs
  namespace  the private mount namespace of a native run, COM4 and /dev/shm inside it
  panel      the pseudo-terminal panel: every byte with its time, line settings, stalls
  simulator  the area stand-in and the simulator emulator: publish, change bytes, quit
  line       frames and pairs cut from the stream, their form, the model of the frames
  figures    CPU seconds, memory, descriptors of a process, natively and under Wine
  processes  recorded consoles, orderly stops, and the demo's group of children
  rig        one run: a place (prefix or namespace), the panel, and what was started there
"""
