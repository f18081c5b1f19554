// The page's worker: converts the files the page hands it, one at a time, through the
// WebAssembly converter. The page reads each file and sends it here in slices (every browser
// lets a page read a chosen file; not every one lets a worker), and takes the output back as one
// Blob. The converter's glue code is put after this file, and takes up its `Module`.
var Module = {};

// The page reads ahead at most this many slices of the size it gives with each file, so that the
// bytes in flight stay bounded whatever the file's size.
const SLICES_AHEAD = 1;
// The output leaves the converter's memory a block at a time, and is gathered here into Blobs
// of this size: each Blob made costs the browser much more than its bytes do.
const GATHER_BYTES = 64 * 1024 * 1024;

const files = new Map();  // conversions to come and under way, by id: see begin()
let current = null;       // the conversion under way
let peakMemory = 0;

// A conversion to come, read in slices of `slice` bytes, whose first slice the page is already
// reading: its slices may come before the converter is free for it; `unreadable` if the page
// found it cannot be read at all.
function begin(id, size, slice, unreadable) {
  const first = Math.min(slice, size);
  const file = {
    id, size, slice,
    requested: first,  // where the next slice to ask for starts
    pending: first > 0 ? [{offset: 0, length: first}] : [],  // slices asked for, not yet come
    slices: [],      // slices come and not yet used up, by offset: {offset, bytes}
    arrived: null,   // wakes a read waiting for a slice
    unreadable,      // a read failed (the file changed or went away since it was chosen), or none can be
    parts: [],       // the output so far, as Blobs
    gathered: null,  // the output not yet in `parts`, and how much of it there is
    gatheredBytes: 0,
    lastProgress: 0,
  };
  files.set(id, file);
  return file;
}

function askAhead(file) {
  while (file.pending.length + file.slices.length <= SLICES_AHEAD && file.requested < file.size) {
    const length = Math.min(file.slice, file.size - file.requested);
    postMessage({id: file.id, read: file.requested, length});
    file.pending.push({offset: file.requested, length});
    file.requested += length;
  }
}

function sliceCame(file, {read: offset, buffer, error}) {
  const asked = file.pending.findIndex((p) => p.offset === offset);
  if (asked < 0) return;  // a slice no longer wanted
  file.pending.splice(asked, 1);
  if (error !== undefined || buffer.byteLength === 0) {
    file.unreadable = true;
  } else {
    const at = file.slices.findIndex((s) => s.offset > offset);
    file.slices.splice(at < 0 ? file.slices.length : at, 0, {offset, bytes: new Uint8Array(buffer)});
  }
  const wake = file.arrived;
  file.arrived = null;
  wake?.();
}

// Fills `count` spans (pairs of 32-bit words: where, how many) with the file's bytes from
// `offset`; how many bytes it filled. Fewer than asked for means the file cannot be read.
Module.readChosen = async (offset, spans, count) => {
  const file = current;
  let at = offset;
  let filled = 0;
  for (let i = 0; i < count; i++) {
    let where = HEAPU32[(spans >> 2) + 2 * i];
    let left = HEAPU32[(spans >> 2) + 2 * i + 1];
    while (left > 0) {
      while (file.slices.length > 0 &&
             file.slices[0].offset + file.slices[0].bytes.length <= at) file.slices.shift();
      const slice = file.slices[0];
      if (slice !== undefined && slice.offset <= at) {
        const start = at - slice.offset;
        const n = Math.min(left, slice.bytes.length - start);
        HEAPU8.set(slice.bytes.subarray(start, start + n), where);
        where += n;
        left -= n;
        at += n;
        filled += n;
        continue;
      }
      if (file.unreadable || at >= file.size) return filled;
      if (!file.pending.some((p) => p.offset <= at && at < p.offset + p.length)) {
        // The converter moved to bytes not asked for: read on from there.
        file.slices = [];
        file.requested = at;
      }
      askAhead(file);
      await new Promise((wake) => { file.arrived = wake; });
    }
    askAhead(file);
  }
  return filled;
};

Module.takeOutput = (pointer, n, done, total) => {
  const file = current;
  // One buffer per file, filled again after each Blob is made of it (the Blob copies it): a fresh
  // buffer's pages cost the system more to hand out than the copy into them.
  if (file.gathered === null) file.gathered = new Uint8Array(Math.min(GATHER_BYTES, Math.max(n, total)));
  while (n > 0) {
    const part = Math.min(n, file.gathered.length - file.gatheredBytes);
    file.gathered.set(HEAPU8.subarray(pointer, pointer + part), file.gatheredBytes);
    file.gatheredBytes += part;
    pointer += part;
    n -= part;
    if (file.gatheredBytes === file.gathered.length && (done < total || n > 0)) {
      file.parts.push(new Blob([file.gathered]));
      file.gatheredBytes = 0;
    }
  }
  if (done >= total && file.gatheredBytes > 0) {
    // The last part goes into the output's Blob as it is where it fills the buffer: one Blob fewer.
    const last = file.gatheredBytes === file.gathered.length ? file.gathered
                                                            : new Blob([file.gathered.subarray(0, file.gatheredBytes)]);
    file.parts.push(last);
    file.gathered = null;
    file.gatheredBytes = 0;
  }
  const now = Date.now();
  if (now - file.lastProgress > 100) {
    file.lastProgress = now;
    postMessage({id: file.id, progress: total > 0 ? done / total : 1});
  }
};

async function convert(file, name) {
  const {id, size} = file;
  current = file;
  let message;
  try {
    message = await Module.ccall("palmconv_convert", "string", ["string", "number"], [name, size],
                                 {async: true});
  } catch (error) {
    // The converter's memory may be left in any state: the page replaces this worker.
    let message = "";
    try {
      message = UTF8ToString(Module._palmconv_failure_message()).replace(/[\r\n]+$/, "");
    } catch (ignored) {
      // An aborted runtime answers nothing more; the page has a message of its own.
    }
    files.delete(id);
    postMessage({id, failed: String(error), message});
    return;
  }
  if (file.unreadable) message = UTF8ToString(Module._palmconv_unreadable_message());
  peakMemory = Math.max(peakMemory, HEAPU8.length);
  const result = {id, peakMemory, message: message.replace(/[\r\n]+$/, "")};
  if (result.message === "") {
    result.name = UTF8ToString(Module._palmconv_output_name());
    result.crc = Module._palmconv_output_crc();
    result.blob = new Blob(file.parts, {type: "application/octet-stream"});
    result.parts = file.parts.filter((part) => part instanceof Blob);
    file.parts = [];
  }
  current = null;
  files.delete(id);
  postMessage(result);
}

// Files wait for the converter to start, and then for each other.
let ready = null;
const started = new Promise((resolve) => { ready = resolve; });
Module.onRuntimeInitialized = () => ready();
let line = started;

onmessage = (event) => {
  const data = event.data;
  if (data.read !== undefined) {
    const file = files.get(data.id);
    if (file !== undefined) sliceCame(file, data);
    return;
  }
  const file = begin(data.id, data.size, data.slice, data.unreadable === true);
  line = line.then(() => convert(file, data.name));
};
