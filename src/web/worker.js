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
    HEAPU8.set(bytes, pointer);
    return bytes.length;
  } catch (error) {
    return 0;  // an unreadable part reads as the end of the file
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

function readable(file) {
  try {
    reader.readAsArrayBuffer(file.slice(0, Math.min(file.size, 78)));
    return true;
  } catch (error) {
    return false;
  }
}

function convert(id, file) {
  current = id;
  chosen = file;
  reader = new FileReaderSync();
  slice = new Uint8Array(0);
  parts = [];
  unfolded = 0;
  let message;
  if (!readable(file)) {
    message = UTF8ToString(Module._palmconv_unreadable_message());
  } else {
    const name = allocateUTF8(file.name);
    message = UTF8ToString(Module._palmconv_convert(name, file.size));
    _free(name);
  }
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
  if (ready) {
    convert(event.data.id, event.data.file);
  } else {
    waiting.push([event.data.id, event.data.file]);
  }
};
