// The KWin script in stand-in workspaces shaped as Plasma 5's and 6's: the active
// window's class goes out at start, on activation and on class changes, and none
// when it closes; neither a moment with no active window nor the shell's panel counts.
const source = new TextDecoder().decode(imports.gi.GLib.file_get_contents(ARGV[0])[1]);
const signal = () => {
    const s = {fns: [], connect: f => s.fns.push(f), emit: (...a) => s.fns.forEach(f => f(...a))};
    return Object.assign(s, {disconnect: f => { s.fns = s.fns.filter(g => g !== f); }});
};
let failed = false;
for (const plasma of [5, 6]) {
    const ends = plasma === 5 ? 'windowClosed' : 'closed';
    const window = resourceClass => ({resourceClass, windowClassChanged: signal(), [ends]: signal()});
    const sent = [], activated = signal(), chat = window('org.example.Chat');
    // Some Plasma 5 versions give the class as bytes.
    const calc = window(plasma === 5 ? new TextEncoder().encode('org.example.Calc').buffer : 'org.example.Calc');
    const workspace = plasma === 5 ? {clientActivated: activated, activeClient: chat}
        : {windowActivated: activated, activeWindow: chat};
    new Function('workspace', 'callDBus', source)(workspace, (...a) => sent.push(a.join(' ')));
    activated.emit(calc);
    activated.emit(null);  // a click on the panel: KWin deactivates, then activates the panel
    activated.emit(Object.assign(window('plasmashell'), {specialWindow: true}));
    calc.resourceClass = 'org.example.Other';
    calc.windowClassChanged.emit();
    chat.windowClassChanged.emit();  // no longer followed
    calc[ends].emit();
    const want = ['org.example.Chat', 'org.example.Calc', 'org.example.Other', ''].map(id =>
        `io.github.sendhold.Sendhold /io/github/sendhold/Sendhold/Front io.github.sendhold.FrontApplication Report ${id}`);
    if (JSON.stringify(sent) !== JSON.stringify(want))
        failed = printerr(`Plasma ${plasma} sent: ${JSON.stringify(sent, null, 1)}`) ?? true;
}
imports.system.exit(failed ? 1 : 0);
