// The page around the program: the owner's file, the console panel, the progress bar and the
// outcome in plain words. Built into the page ahead of the program (emcc --pre-js). The panel's
// text and the progress are worked out by CreateConsolePanel alone, so that they run anywhere.

// Holds what a console would show of the program's output: a carriage return goes back to the
// start of the line, and what follows writes over it character by character.
function CreateConsolePanel() {
    const decoder = new TextDecoder('utf-8');
    const lines = [];
    let current = [];
    let column = 0;
    // What the last progress line that a newline ended showed.
    let endedProgress = null;

    function Write(text) {
        for (const character of text) {
            if (character === '\n') {
                const line = current.join('');
                endedProgress = ProgressOfLine(line) ?? endedProgress;
                lines.push(line);
                current = [];
                column = 0;
            } else if (character === '\r') {
                column = 0;
            } else {
                current[column++] = character;
            }
        }
    }

    return {
        // One byte of the program's standard output, UTF-8 (a file's name may be any text).
        writeByte(byte) {
            Write(decoder.decode(new Uint8Array([byte]), { stream: true }));
        },
        write: Write,
        text() {
            return lines.concat([current.join('')]).join('\n');
        },
        // The share of the work that the latest progress line shows, or null before any.
        progress() {
            return ProgressOfLine(current.join('')) ?? endedProgress;
        },
    };
}

// The share of the work that the program's progress line shows, from 0 to 1; null for a line
// that is no progress line.
function ProgressOfLine(line) {
    const pair = /Searching\.\. . pair (\d+) of (\d+)/.exec(line);
    if (pair) return Number(pair[1]) / Number(pair[2]);
    const transfer = /Transferring\.\. (?:. )?(\d+)% done/.exec(line);
    if (transfer) return Number(transfer[1]) / 100;
    return null;
}

const outcomeWords = {
    'updated': 'The device is updated.',
    'restarting': 'The device has taken the update and is restarting: wait until it has started again.',
    'output-lost': 'The MIDI connection to the device went during the update (a cable pulled?). Connect it again and press "Update again".',
    'not-responding': 'The device stopped answering during the update. Check the cable and press "Update again".',
    'update-error': 'The device refused the update (see the lines above). Press "Update again"; if it fails again, the image file may not suit this device.',
    'no-device': 'No device answered on any MIDI port. Check that the device is connected and waits for an update, then press "Update again".',
    'reset-requested': 'The device asks to be reset: reset it, then press "Update again".',
    'image-error': 'The image file was refused (see the lines above). Nothing was sent to any device.',
    'no-midi': 'This browser has no Web MIDI, so nothing was sent. Use Chrome, Edge, Opera or another Chromium browser; Firefox only with a site-permission add-on; Safari has none.',
    'midi-refused': 'The browser did not give this page MIDI access with System Exclusive, so nothing was sent. Allow MIDI for this page in the browser\'s site settings, then press "Update again".',
    'insecure': 'Browsers give MIDI only to a page in a secure context, so nothing was sent. Open the page from a file on disk, from an https:// address or from localhost.',
};

const fromDiskNote = ' Some browsers refuse MIDI to a page opened from a file on disk; then serve it from localhost (python3 -m http.server, say) and open http://localhost:8000/update.html.';

function OutcomeText(outcome, refusal, fromDisk) {
    let text = outcomeWords[outcome] || outcome;
    if (outcome === 'midi-refused' && refusal) text += ' (' + refusal + ')';
    if (fromDisk && (outcome === 'midi-refused' || outcome === 'no-midi')) text += fromDiskNote;
    return text;
}

const showIntervalMilliseconds = 200;

function StartPage(module) {
    const body = document.body;
    const chooser = document.getElementById('image-file');
    const again = document.getElementById('again');
    const panel = document.getElementById('console');
    const bar = document.getElementById('progress');
    const result = document.getElementById('result');
    const ready = new Promise((resolve) => { module.onRuntimeInitialized = resolve; });
    let chosenFile = null;
    let screen = CreateConsolePanel();
    let showing = null;
    let runs = 0;

    function Show() {
        clearTimeout(showing);
        showing = null;
        panel.textContent = screen.text();
        const progress = screen.progress();
        if (progress !== null) bar.value = progress;
    }

    // The panel and the bar are drawn a few times a second, not at each record: the browser
    // draws a changed page on the thread and the processors that carry the page's MIDI, and
    // drawing at every record took a record from 13 to 34 ms in the test browser.
    module.stdout = (byte) => {
        screen.writeByte(byte);
        if (showing === null) showing = setTimeout(Show, showIntervalMilliseconds);
    };
    module.stderr = () => {};

    async function Run() {
        if (!chosenFile || body.dataset.state === 'running') return;
        body.dataset.state = 'running';
        delete body.dataset.outcome;
        again.disabled = true;
        chooser.disabled = true;
        result.textContent = '';
        bar.value = 0;
        screen = CreateConsolePanel();
        Show();
        let outcome = 'image-error';
        let refusal = '';
        try {
            const bytes = new Uint8Array(await chosenFile.arrayBuffer());
            await ready;
            // The chosen file alone in a folder of its own, where the program looks for it.
            const folder = '/run-' + ++runs;
            module.FS.mkdir(folder);
            module.FS.writeFile(folder + '/' + chosenFile.name, bytes);
            outcome = await module.ccall('RunUpdateInFolder', 'string', ['string'], [folder],
                                         { async: true });
            module.FS.unlink(folder + '/' + chosenFile.name);
            const midi = module.browserMidi;
            if (midi.accessFailure) {
                outcome = midi.accessFailure;
                refusal = midi.accessRefusal;
            }
        } catch (error) {
            screen.write('\n' + String(error) + '\n');
        }
        Show();
        result.textContent = OutcomeText(outcome, refusal, location.protocol === 'file:');
        body.dataset.outcome = outcome;
        body.dataset.state = 'done';
        again.disabled = false;
        chooser.disabled = false;
    }

    function Choose(file) {
        if (!file || body.dataset.state === 'running') return;
        chosenFile = file;
        Run();
    }

    chooser.addEventListener('change', () => Choose(chooser.files[0]));
    again.addEventListener('click', Run);
    document.addEventListener('dragover', (event) => event.preventDefault());
    document.addEventListener('drop', (event) => {
        event.preventDefault();
        Choose(event.dataTransfer.files[0]);
    });
    if (location.protocol === 'file:') document.getElementById('from-disk').hidden = false;
    body.dataset.state = 'idle';
}

// The WebAssembly is inside the page; Emscripten would fetch it from its data: address, which
// is a request all the same, one that a page opened from disk may be refused.
function InstantiateFromPage(imports, receiveInstance) {
    WebAssembly.instantiate(tryParseAsDataURI(wasmBinaryFile), imports)
        .then((result) => receiveInstance(result.instance, result.module));
    return {};
}

if (typeof Module !== 'undefined' && typeof document !== 'undefined') {
    Module.instantiateWasm = InstantiateFromPage;
    StartPage(Module);
}
if (typeof module !== 'undefined') module.exports = { CreateConsolePanel, ProgressOfLine, OutcomeText };
