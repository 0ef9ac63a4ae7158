#!/bin/sh
# Run by the installer after the extraction, from inside the extracted tree.
echo "Sambrel Ivox demo installed in $(pwd):"
find . -type f | sort | while read -r file; do
  printf '  %-32s %s\n' "$file" "$(stat -c '%A %s bytes' "$file")"
done
printf 'bin/sambrel-hello says: '
./bin/sambrel-hello
# Stay a moment, so the window with its full bar can be seen (and photographed).
sleep 2
echo "Done."
