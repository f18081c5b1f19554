# Sourced by wine-env.sh where the kernel runs no 32-bit code: lays out, under build/wine-qemu, a
# wine whose 64-bit processes run natively and whose 32-bit ones run Debian's 32-bit wine under
# qemu-i386-static with qemu_i386_shim.c preloaded, and puts its `wine` first on PATH. Its
# `wine32` runs a 32-bit program as the very process it starts (the emulator), as the native
# loader does, so that a signal sent to that process reaches the program.
#
# wine finds its libraries, its data and the loader of the other width relative to its own
# loader, and starts a 32-bit process by running `wine-preloader LOADER ARGS...` from the
# loader's folder: copies of Debian's loaders in a folder of our own, beside links to the
# libraries and data, let that preloader be a script that starts the emulator instead.
qemu_wine="$top/build/wine-qemu"
qemu_loaders="$qemu_wine/root/usr/lib/wine"
# Laid out again when the shim, this script or Debian's wine changed.
if [ ! -f "$qemu_wine/ready" ] || [ "$top/tests/windows/qemu_i386_shim.c" -nt "$qemu_wine/ready" ] ||
   [ "$top/tests/windows/wine-on-qemu.sh" -nt "$qemu_wine/ready" ] ||
   [ /usr/lib/wine/wine -nt "$qemu_wine/ready" ] || [ /usr/lib/wine/wine64 -nt "$qemu_wine/ready" ]; then
  rm -rf "$qemu_wine"
  mkdir -p "$qemu_wine/lib/i386-linux-gnu" "$qemu_wine/lib/x86_64-linux-gnu" "$qemu_loaders" \
           "$qemu_wine/root/usr/lib/i386-linux-gnu" "$qemu_wine/root/usr/lib/x86_64-linux-gnu" \
           "$qemu_wine/root/usr/share" "$qemu_wine/bin"
  gcc -m32 -shared -fPIC -O2 -Wall -o "$qemu_wine/lib/i386-linux-gnu/palmconv_qemu_shim.so" \
      "$top/tests/windows/qemu_i386_shim.c" -ldl
  # Native processes inherit LD_PRELOAD from emulated ones: theirs does nothing.
  echo 'void palmconv_qemu_shim_native(void) {}' |
    gcc -x c -shared -fPIC -o "$qemu_wine/lib/x86_64-linux-gnu/palmconv_qemu_shim.so" -
  cp /usr/lib/wine/wine /usr/lib/wine/wine64 "$qemu_loaders/"
  for server in wineserver wineserver32 wineserver64; do
    [ -e "/usr/lib/wine/$server" ] && ln -s "/usr/lib/wine/$server" "$qemu_loaders/$server"
  done
  ln -s /usr/lib/i386-linux-gnu/wine "$qemu_wine/root/usr/lib/i386-linux-gnu/wine"
  ln -s /usr/lib/x86_64-linux-gnu/wine "$qemu_wine/root/usr/lib/x86_64-linux-gnu/wine"
  ln -s /usr/share/wine "$qemu_wine/root/usr/share/wine"
  # The loader is exec'd here with itself as first argument: the emulator runs it instead, with
  # the shim in the emulated process alone, and wine is told not to exec a preloader again.
  cat > "$qemu_loaders/wine-preloader" <<EOF
#!/bin/sh
shift
unset LD_PRELOAD
export WINELOADERNOEXEC=1 WINELOADER='$qemu_loaders/wine'
exec qemu-i386-static -E LD_PRELOAD='$qemu_wine/\$LIB/palmconv_qemu_shim.so' '$qemu_loaders/wine' "\$@"
EOF
  # The 64-bit loader runs natively; its 32-bit children come back through the script above.
  cat > "$qemu_loaders/wine64-preloader" <<EOF
#!/bin/sh
shift
unset LD_PRELOAD
export WINELOADERNOEXEC=1 WINELOADER='$qemu_loaders/wine64'
exec '$qemu_loaders/wine64' "\$@"
EOF
  # `wine` is the 64-bit loader, which hands 32-bit programs on to the emulator.
  printf "#!/bin/sh\nexec '%s/wine64-preloader' '%s/wine64' \"\$@\"\n" "$qemu_loaders" \
    "$qemu_loaders" > "$qemu_wine/bin/wine"
  cp "$qemu_wine/bin/wine" "$qemu_wine/bin/wine64"
  # The 64-bit loader would run a 32-bit program as a child of its own start.exe.
  printf "#!/bin/sh\nexec '%s/wine-preloader' '%s/wine' \"\$@\"\n" "$qemu_loaders" \
    "$qemu_loaders" > "$qemu_wine/bin/wine32"
  chmod +x "$qemu_loaders/wine-preloader" "$qemu_loaders/wine64-preloader" "$qemu_wine/bin/wine" \
           "$qemu_wine/bin/wine64" "$qemu_wine/bin/wine32"
  touch "$qemu_wine/ready"
fi
export PATH="$qemu_wine/bin:$PATH"
