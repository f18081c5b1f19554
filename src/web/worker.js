// The page's worker: converts the files the page hands it, one at a time, through the
// WebAssembly converter, reading each file in slices and handing the output back as one Blob.
// The converter's glue code is put after this file, and takes up its `Module`.
var Module = {};

// Output parts are gathered into a Blob every so often, so that the browser may keep them
// outside this worker's memory.
const FOLD_BYTES = 64 * 1024 * 1024;

let chosen = null;  // the File being converted
let reader = null;
let parts = [];     // the output so far: Blobs and Uint8Arrays
let unfolded = 0;   // bytes of the Uint8Arrays in `parts`
let lastProgress = 0;
let current = 0;    // the id of the file being converted
let peakMemory = 0;
let unreadable = false;  // a read of the chosen file failed: it changed or went away meanwhile

// The converter reads in order, a block at a time; the browser answers few large reads much
// faster than many smaller ones, so the file is read ahead in slices of this size, outside the
// converter's memory.
const SLICE_BYTES = 32 * 1024 * 1024;
let slice = new Uint8Array(0);
let sliceStart = 0;

Module.readChosen = (offset, pointer, n) => {
  try {
    if (offset < sliceStart || offset + n > sliceStart + slice.length) {
      sliceStart = offset;
      slice = new Uint8Array(reader.readAsArrayBuffer(
          chosen.slice(offset, offset + Math.max(n, SLICE_BYTES))));
    }
    const bytes = slice.subarray(offset - sliceStart, Math.min(offset - sliceStart + n, slice.length));
    // The converter asks only for bytes within the size the file had when chosen.
    if (bytes.length < n) unreadable = true;
    HEAPU8.set(bytes, pointer);
    return bytes.length;
  } catch (error) {
    unreadable = true;
    return 0;  // ends the conversion; the file is then reported as one that cannot be read
  }
};

Module.takeOutput = (pointer, n, done, total) => {
  parts.push(HEAPU8.slice(pointer, pointer + n));
  unfolded += n;
  if (unfolded >= FOLD_BYTES) {
    parts = [new Blob(parts)];
    unfolded = 0;
  }
  const now = Date.now();
  if (now - lastProgress > 100) {
    lastProgress = now;
    postMessage({id: current, progress: total > 0 ? done / total : 1});
  }
};

function readable(file, size) {
  if (file.size !== size) return false;
  try {
    reader.readAsArrayBuffer(file.slice(0, Math.min(file.size, 78)));
    return true;
  } catch (error) {
    return false;
  }
}

function convert(id, file, size) {
  current = id;
  chosen = file;
  reader = new FileReaderSync();
  slice = new Uint8Array(0);
  parts = [];
  unfolded = 0;
  unreadable = false;
  let message;
  try {
    if (!readable(file, size)) {
      unreadable = true;
    } else {
      const name = allocateUTF8(file.name);
      message = UTF8ToString(Module._palmconv_convert(name, size));
      _free(name);
    }
  } catch (error) {
    // The converter's memory may be left in any state: the page replaces this worker.
    parts = [];
    let message = "";
    try {
      message = UTF8ToString(Module._palmconv_failure_message()).replace(/[\r\n]+$/, "");
    } catch (ignored) {
      // An aborted runtime answers nothing more; the page has a message of its own.
    }
    postMessage({id, failed: String(error), message});
    return;
  }
  if (unreadable) message = UTF8ToString(Module._palmconv_unreadable_message());
  peakMemory = Math.max(peakMemory, HEAPU8.length);
  const result = {id, peakMemory, message: message.replace(/[\r\n]+$/, "")};
  if (result.message === "") {
    result.name = UTF8ToString(Module._palmconv_output_name());
    result.blob = new Blob(parts, {type: "application/octet-stream"});
  }
  parts = [];
  chosen = null;
  slice = new Uint8Array(0);
  postMessage(result);
}

const waiting = [];
let ready = false;
Module.onRuntimeInitialized = () => {
  ready = true;
  while (waiting.length > 0) convert(...waiting.shift());
};
onmessage = (event) => {
  const {id, file, size} = event.data;
  if (ready) {
    convert(id, file, size);
  } else {
    waiting.push([id, file, size]);
  }
};
