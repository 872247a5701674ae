// The flow editor of `qorvel-plugin serve`: a flow as a graph of its placements, edited, run and saved.
//
// The editor works on the flow document itself (the JSON of a .flow file): placements under
// "blocks" with their block state JSON, connections under "connections" and in the states of both
// ends. Every edit replaces the document through `change`, which keeps the undo history. The
// server decides what may be connected and what may be saved (POST /api/connection,
// PUT /api/flows/<savedID>) with the checks of `check`; the editor never restates those rules.

import { graphlib, layout } from "./dagre/dagre.esm.js";
import { control } from "./controls.js";
import { element } from "./dom.js";
import { api, portKey, edgeKey, edgesOf, nextPlacedID, entryValue, setEntryValue } from "./editor_model.js";

const SVG = "http://www.w3.org/2000/svg";
const HISTORY = 200;

function curve(a, b) {
    const bend = Math.max(40, Math.abs(b.x - a.x) / 2);
    return `M${a.x},${a.y} C${a.x + bend},${a.y} ${b.x - bend},${b.y} ${b.x},${b.y}`;
}

export class FlowEditor {
    // `openCustom(taker, variable, title)` opens a custom variable's page; the page's value reaches
    // `taker.takeCustom(variableID, value)`, as for the block cards.
    constructor(root, plugin, { openCustom = () => {} } = {}) {
        this.root = root;
        this.openCustom = openCustom;
        this.blocks = new Map(plugin.blocks.map((b) => [b.id, b]));
        this.remotes = plugin.remotes || ["Local"];
        this.doc = null;
        this.undoStack = [];
        this.redoStack = [];
        this.selected = null;    // {kind: "node", placedID} or {kind: "edge", key}
        this.nodes = new Map();  // placedID -> node element
        this.ports = new Map();  // placedID -> Map(port key -> {x, y}) relative to the node
        this.paths = new Map();  // edge key -> path element
        this.states = new Map(); // placedID -> {status, text, result}
        this.runSavedID = null;
        this.scale = 1;
        this.build();
        window.addEventListener("keydown", (event) => this.onKey(event));
        window.addEventListener("qorvel-run-event", (event) => this.onRunEvent(event.detail.kind, event.detail.data));
    }

    // -- the page ----------------------------------------------------------------------------------

    build() {
        const $ = (selector) => this.root.querySelector(selector);
        this.canvas = $(".editor-canvas");
        this.world = $(".editor-world");
        this.svg = $(".editor-edges");
        this.panel = $(".editor-panel");
        this.status = $(".editor-status");
        this.nameField = $("[name=flow-name]");
        this.savedIDField = $("[name=flow-saved-id]");
        this.copyField = $("[name=flow-copy]");
        this.opener = $("[name=flow-open]");
        this.nameField.addEventListener("change", () => this.change((doc) => { doc.name = this.nameField.value; }));
        this.savedIDField.addEventListener("change", () => this.change((doc) => { doc.savedID = this.savedIDField.value; }));
        this.opener.addEventListener("change", () => this.openChoice(this.opener.value));
        this.sizer = $(".editor-sizer");
        const buttons = { undo: () => this.undo(), redo: () => this.redo(), layout: () => this.relayout(),
                          "zoom-in": () => this.zoom(this.scale * 1.25), "zoom-out": () => this.zoom(this.scale / 1.25),
                          fit: () => this.zoomToFit(),
                          save: () => this.save(false), copy: () => this.save(true), run: () => this.run() };
        for (const [name, action] of Object.entries(buttons)) $(`[data-action=${name}]`).addEventListener("click", action);
        this.renderPalette();
        this.canvas.addEventListener("pointerdown", (event) => {
            if ([this.canvas, this.sizer, this.world, this.svg].includes(event.target)) this.select(null);
        });
    }

    renderPalette() {
        this.root.querySelector(".editor-palette").replaceChildren(...[...this.blocks.values()]
            .filter((b) => !["config", "ghost"].includes(b.type))
            .map((b) => element("li", { "data-block": b.id, onpointerdown: (e) => this.dragNew(e, b) },
                element("b", {}, b.name), element("span", { class: "kind" }, b.type))));
    }

    // The plugin was loaded again: its blocks, remotes and preset flows as they are now.
    useCatalogue(plugin) {
        this.blocks = new Map(plugin.blocks.map((b) => [b.id, b]));
        this.remotes = plugin.remotes || ["Local"];
        this.renderPalette();
        if (this.doc) this.render();
        this.refreshList();
    }

    say(message, kind = "") {
        this.status.textContent = message;
        this.status.className = `editor-status ${kind}`;
    }

    async refreshList() {
        const { data } = await api("/api/flows");
        this.listed = Array.isArray(data) ? data : [];
        this.opener.replaceChildren(element("option", { value: "" }, "Open…"), element("option", { value: "new" }, "New empty flow"),
            ...this.listed.map((f, i) => element("option", { value: String(i) }, `${f.source === "preset" ? "Preset" : "Run"}: ${f.name} (${f.savedID})`)));
    }

    async openChoice(choice) {
        this.opener.value = "";
        if (choice === "new") return this.open(this.emptyFlow());
        const entry = this.listed[Number(choice)];
        if (entry) await this.openListed(entry);
    }

    async openListed(entry) {
        const query = entry.source === "run" ? `?path=${encodeURIComponent(entry.path)}` : "";
        const { status, data } = await api(`/api/flows/${encodeURIComponent(entry.savedID)}${query}`);
        if (status !== 200) return this.say(problemText(data), "error");
        this.open(data, entry);
    }

    emptyFlow() {
        const id = `flow-${Math.random().toString(16).slice(2, 10)}`;
        return { name: "New flow", savedID: id, blocks: [], connections: [] };
    }

    open(doc, entry = null) {
        const started = performance.now();
        this.doc = doc;
        this.opened = entry;
        this.undoStack = [];
        this.redoStack = [];
        this.states = new Map();
        this.selected = null;
        this.world.querySelectorAll(".editor-refusal, .node").forEach((n) => n.remove());
        this.nodes = new Map();
        this.ports = new Map();
        this.render();
        const drawn = performance.now();
        this.layoutMissing();
        this.timings = { draw: drawn - started, layout: performance.now() - drawn };
        this.say(entry ? `opened ${entry.path}` : "new flow");
    }

    // -- edits and their history -----------------------------------------------------------------

    change(edit, { coalesce = null } = {}) {
        const last = this.undoStack[this.undoStack.length - 1];
        if (!(coalesce && last && last.coalesce === coalesce)) {
            this.undoStack.push({ doc: structuredClone(this.doc), coalesce });
            if (this.undoStack.length > HISTORY) this.undoStack.shift();
        }
        this.redoStack = [];
        edit(this.doc);
        if (!coalesce) this.render();
    }

    undo() { this.travel(this.undoStack, this.redoStack); }
    redo() { this.travel(this.redoStack, this.undoStack); }

    travel(from, to) {
        const step = from.pop();
        if (!step) return;
        to.push({ doc: structuredClone(this.doc), coalesce: null });
        this.doc = step.doc;
        this.render();
    }

    onKey(event) {
        if (this.root.hidden || !this.doc) return;
        const typing = ["INPUT", "TEXTAREA", "SELECT"].includes(document.activeElement?.tagName);
        if ((event.ctrlKey || event.metaKey) && event.key.toLowerCase() === "z" && !typing) {
            event.preventDefault();
            if (event.shiftKey) this.redo(); else this.undo();
        } else if ((event.key === "Delete" || event.key === "Backspace") && !typing && this.selected) {
            event.preventDefault();
            this.deleteSelection();
        }
    }

    placement(placedID) { return this.doc.blocks.find((b) => b.placedID === placedID); }
    blockOf(placement) { return this.blocks.get(placement.blockID ?? placement.id ?? placement.state?.id); }

    addPlacement(block, x, y) {
        const placedID = nextPlacedID(this.doc);
        const key = this.doc.blocks.some((b) => "id" in b && !("blockID" in b)) ? "id" : "blockID";
        this.change((doc) => doc.blocks.push({ [key]: block.id, placedID,
            state: { id: block.id, isPlaced: true, position: { x, y }, placedID } }));
        this.select({ kind: "node", placedID });
        return placedID;
    }

    duplicate(placedID) {
        const source = this.placement(placedID);
        const copy = structuredClone(source);
        copy.placedID = nextPlacedID(this.doc);
        copy.state.placedID = copy.placedID;
        copy.state.variableConnections = [];
        copy.state.variableConnectionsReference = [];
        const at = source.state.position || { x: 0, y: 0 };
        copy.state.position = { x: at.x + 40, y: at.y + 40 };
        this.change((doc) => doc.blocks.push(copy));
        this.select({ kind: "node", placedID: copy.placedID });
    }

    deleteSelection() {
        const chosen = this.selected;
        this.selected = null;
        if (chosen.kind === "node") {
            this.change((doc) => {
                doc.blocks = doc.blocks.filter((b) => b.placedID !== chosen.placedID);
                const keep = (c) => c.origin?.placedID !== chosen.placedID && c.destination?.placedID !== chosen.placedID;
                removeConnections(doc, keep);
            });
        } else {
            this.change((doc) => removeConnections(doc, (c) => edgeKey(c) !== chosen.key));
        }
    }

    async connect(from, to, at) {
        const end = (port) => {
            const placement = this.placement(port.placedID);
            const variable = this.variableOf(placement, port);
            return { placedID: port.placedID, blockID: this.blockOf(placement).id, variableID: port.variableID,
                     variableType: variable ? String(variable.type) : null,
                     variableAllowedValues: variable?.allowedValues ?? null };
        };
        const connection = { origin: end(from), destination: end(to), isCyclic: false, cycles: 1, currentCycle: 0 };
        const { status, data } = await api("/api/connection", { flow: this.doc, connection });
        if (status !== 200 || !data.allowed) {
            this.refuse(status === 200 ? data.problems.join("; ") : problemText(data), at);
            return false;
        }
        this.change((doc) => {
            doc.connections = doc.connections || [];
            doc.connections.push(connection);
            for (const placedID of new Set([from.placedID, to.placedID])) {
                const state = doc.blocks.find((b) => b.placedID === placedID).state;
                state.variableConnections = [...(state.variableConnections || []), structuredClone(connection)];
            }
        });
        return true;
    }

    refuse(message, at) {
        const note = element("div", { class: "editor-refusal", style: `left:${at.x}px;top:${at.y}px` }, message);
        this.world.querySelectorAll(".editor-refusal").forEach((n) => n.remove());
        this.world.append(note);
        this.say(message, "error");
        setTimeout(() => note.remove(), 8000);
    }

    variableOf(placement, port) {
        const block = this.blockOf(placement);
        if (!block) return null;
        if (port.kind === "out") return block.outputs.find((v) => v.id === port.variableID);
        if (port.kind === "in") return this.inputsOf(placement).find((v) => v.id === port.variableID);
        return block.variables.find((v) => v.id === port.variableID);
    }

    selectedGroup(placement) {
        const block = this.blockOf(placement);
        return placement.state?.selectedInputGroup || block?.selectedInputGroup || "default";
    }

    inputsOf(placement) {
        const group = this.blockOf(placement)?.inputs.find((g) => g.id === this.selectedGroup(placement));
        return group ? group.variables : [];
    }

    // -- drawing -----------------------------------------------------------------------------------

    render() {
        if (!this.doc) return;
        this.nameField.value = this.doc.name ?? "";
        this.savedIDField.value = this.doc.savedID ?? "";
        // A node is drawn again only when what it shows changed; otherwise it only moves.
        const previous = this.nodes;
        this.nodes = new Map();
        const fragment = document.createDocumentFragment();
        const fresh = [];
        for (const placement of this.doc.blocks) {
            const look = `${placement.blockID ?? placement.id}|${this.selectedGroup(placement)}`;
            let node = previous.get(placement.placedID);
            if (node && node.dataset.look === look) {
                const at = placement.state?.position || { x: 0, y: 0 };
                Object.assign(node.style, { left: `${at.x}px`, top: `${at.y}px` });
                previous.delete(placement.placedID);
            } else {
                node = this.nodeElement(placement);
                node.dataset.look = look;
                fresh.push(placement.placedID);
                fragment.append(node);
            }
            this.nodes.set(placement.placedID, node);
        }
        for (const [placedID, node] of previous) {
            node.remove();
            this.ports.delete(placedID);
        }
        this.world.append(fragment);
        for (const placedID of fresh) this.ports.set(placedID, this.measurePorts(this.nodes.get(placedID)));
        this.drawEdges();
        this.select(this.selected && this.exists(this.selected) ? this.selected : null);
        this.fitWorld();
    }

    measurePorts(node) {
        const offsets = new Map();
        for (const dot of node.querySelectorAll(".port .dot")) {
            const port = dot.parentElement;
            offsets.set(port.dataset.key, { x: dot.offsetLeft + port.offsetLeft + dot.offsetWidth / 2,
                                            y: dot.offsetTop + port.offsetTop + dot.offsetHeight / 2 });
        }
        return offsets;
    }

        exists(selection) {
        return selection.kind === "node" ? this.nodes.has(selection.placedID) : this.paths.has(selection.key);
    }

    nodeElement(placement) {
        const block = this.blockOf(placement);
        const at = placement.state?.position || { x: 0, y: 0 };
        const port = (kind, variable, group = null) => element("div", {
            class: `port ${kind}${group && group !== this.selectedGroup(placement) ? " inactive" : ""}`,
            "data-kind": kind, "data-variable": variable.id, "data-key": portKey(kind, variable.id),
            title: `${variable.id}: ${variable.type}`,
            onpointerdown: (e) => this.dragWire(e, { placedID: placement.placedID, kind, variableID: variable.id }) },
            element("i", { class: "dot" }), element("span", {}, variable.name || variable.id));
        const rows = block ? [
            ...block.inputs.flatMap((g) => [element("div", { class: "group" }, `inputs: ${g.name || g.id}`),
                                            ...g.variables.map((v) => port("in", v, g.id))]),
            ...(block.variables.length ? [element("div", { class: "group" }, "variables")] : []),
            ...block.variables.map((v) => port("var", v)),
            ...(block.outputs.length ? [element("div", { class: "group" }, "outputs")] : []),
            ...block.outputs.map((v) => port("out", v)),
        ] : [element("div", { class: "group" }, "not a block of this plugin")];
        const state = this.states.get(placement.placedID);
        const node = element("div", { class: `node ${state ? `state-${state.status}` : ""}`, "data-placed": String(placement.placedID),
                                      style: `left:${at.x}px;top:${at.y}px` },
            element("header", { onpointerdown: (e) => this.dragNode(e, placement.placedID) },
                element("b", {}, block ? block.name : String(placement.blockID ?? placement.id)),
                element("span", { class: "kind" }, block ? block.type : "?"), element("span", { class: "pid" }, `#${placement.placedID}`)),
            element("div", { class: "run-state" }, state ? state.text : ""),
            ...rows);
        node.addEventListener("pointerdown", () => this.select({ kind: "node", placedID: placement.placedID }));
        return node;
    }

    position(placedID) {
        const node = this.nodes.get(placedID);
        return { x: parseFloat(node.style.left), y: parseFloat(node.style.top) };
    }

    anchor(placedID, kind, variableID) {
        const offsets = this.ports.get(placedID);
        if (!offsets) return null;
        let offset = offsets.get(portKey(kind, variableID));
        if (!offset && kind === "in") offset = offsets.get(portKey("var", variableID));
        if (!offset) return null;
        const at = this.position(placedID);
        return { x: at.x + offset.x, y: at.y + offset.y };
    }

    edgeEnds(connection) {
        const placement = this.placement(connection.destination.placedID);
        const isInput = placement && this.inputsOf(placement).some((v) => v.id === connection.destination.variableID);
        return [this.anchor(connection.origin.placedID, "out", connection.origin.variableID),
                this.anchor(connection.destination.placedID, isInput ? "in" : "var", connection.destination.variableID)];
    }

    drawEdges() {
        this.svg.replaceChildren();
        this.paths.clear();
        this.touching = new Map();
        for (const connection of edgesOf(this.doc)) {
            const [a, b] = this.edgeEnds(connection);
            if (!a || !b) continue;
            const key = edgeKey(connection);
            const path = document.createElementNS(SVG, "path");
            path.setAttribute("d", curve(a, b));
            path.dataset.key = key;
            path.addEventListener("pointerdown", (e) => { e.stopPropagation(); this.select({ kind: "edge", key }); });
            this.svg.append(path);
            this.paths.set(key, { path, connection });
            for (const end of [connection.origin.placedID, connection.destination.placedID]) {
                if (!this.touching.has(end)) this.touching.set(end, []);
                this.touching.get(end).push(key);
            }
        }
    }

    redrawEdgesOf(placedID) {
        for (const key of this.touching.get(placedID) || []) {
            const { path, connection } = this.paths.get(key);
            const [a, b] = this.edgeEnds(connection);
            path.setAttribute("d", curve(a, b));
        }
    }

    fitWorld() {
        let width = 300, height = 200;
        for (const node of this.nodes.values()) {
            width = Math.max(width, node.offsetLeft + node.offsetWidth + 40);
            height = Math.max(height, node.offsetTop + node.offsetHeight + 40);
        }
        this.extent = { width, height };
        this.world.style.width = `${width}px`;
        this.world.style.height = `${height}px`;
        this.svg.setAttribute("width", width);
        this.svg.setAttribute("height", height);
        // The world is drawn scaled; the sizer gives the canvas the scaled extent to scroll over.
        this.world.style.transform = this.scale === 1 ? "" : `scale(${this.scale})`;
        this.sizer.style.width = `${width * this.scale}px`;
        this.sizer.style.height = `${height * this.scale}px`;
    }

    zoom(scale) {
        this.scale = Math.min(2, Math.max(0.1, scale));
        this.fitWorld();
    }

    zoomToFit() {
        this.zoom(Math.min(1, this.canvas.clientWidth / this.extent.width, this.canvas.clientHeight / this.extent.height));
    }

    select(selection) {
        this.selected = selection;
        this.world.querySelectorAll(".selected").forEach((n) => n.classList.remove("selected"));
        if (selection?.kind === "node") this.nodes.get(selection.placedID)?.classList.add("selected");
        if (selection?.kind === "edge") this.paths.get(selection.key)?.path.classList.add("selected");
        this.showPanel();
    }

    // -- automatic layout ----------------------------------------------------------------------------

    // Placements without a position are laid out left to right, in the order of their connections.
    layoutMissing() {
        const missing = this.doc.blocks.filter((b) => !b.state || !b.state.position);
        if (!missing.length) return;
        this.applyLayout(new Set(missing.map((b) => b.placedID)));
    }

    relayout() {
        this.change(() => {});
        this.applyLayout(new Set(this.doc.blocks.map((b) => b.placedID)));
    }

    applyLayout(which) {
        const graph = new graphlib.Graph();
        graph.setGraph({ rankdir: "LR", nodesep: 30, ranksep: 80, marginx: 20, marginy: 20 });
        graph.setDefaultEdgeLabel(() => ({}));
        for (const [placedID, node] of this.nodes) graph.setNode(String(placedID), { width: node.offsetWidth, height: node.offsetHeight });
        for (const c of edgesOf(this.doc)) {
            if (this.nodes.has(c.origin.placedID) && this.nodes.has(c.destination.placedID)) {
                graph.setEdge(String(c.origin.placedID), String(c.destination.placedID));
            }
        }
        const started = performance.now();
        layout(graph);
        this.layoutTime = performance.now() - started;
        for (const placement of this.doc.blocks) {
            if (!which.has(placement.placedID)) continue;
            const laid = graph.node(String(placement.placedID));
            placement.state = placement.state || {};
            placement.state.position = { x: Math.round(laid.x - laid.width / 2), y: Math.round(laid.y - laid.height / 2) };
        }
        this.render();
    }

    // -- pointer gestures ------------------------------------------------------------------------------

    point(event) {
        const box = this.canvas.getBoundingClientRect();
        return { x: (event.clientX - box.left + this.canvas.scrollLeft) / this.scale,
                 y: (event.clientY - box.top + this.canvas.scrollTop) / this.scale };
    }

    gesture(event, onMove, onEnd) {
        event.preventDefault();
        const move = (e) => onMove(e);
        const end = (e) => {
            window.removeEventListener("pointermove", move);
            window.removeEventListener("pointerup", end);
            onEnd(e);
        };
        window.addEventListener("pointermove", move);
        window.addEventListener("pointerup", end);
    }

    dragNode(event, placedID) {
        event.stopPropagation();
        this.select({ kind: "node", placedID });
        const start = this.point(event);
        const origin = this.position(placedID);
        const node = this.nodes.get(placedID);
        let before = null;
        this.gesture(event, (e) => {
            const now = this.point(e);
            if (!before) before = structuredClone(this.doc);
            node.style.left = `${Math.max(0, origin.x + now.x - start.x)}px`;
            node.style.top = `${Math.max(0, origin.y + now.y - start.y)}px`;
            this.redrawEdgesOf(placedID);
        }, () => {
            if (!before) return;
            this.undoStack.push({ doc: before, coalesce: null });
            this.redoStack = [];
            const at = this.position(placedID);
            this.placement(placedID).state.position = { x: at.x, y: at.y };
            this.fitWorld();
        });
    }

    dragWire(event, from) {
        event.stopPropagation();
        const start = this.anchor(from.placedID, from.kind, from.variableID) || this.point(event);
        const wire = document.createElementNS(SVG, "path");
        wire.classList.add("wire");
        this.svg.append(wire);
        this.gesture(event, (e) => wire.setAttribute("d", curve(start, this.point(e))), (e) => {
            wire.remove();
            const target = document.elementFromPoint(e.clientX, e.clientY)?.closest(".port");
            if (!target) return;
            const placedID = Number(target.closest(".node").dataset.placed);
            const to = { placedID, kind: target.dataset.kind, variableID: target.dataset.variable };
            if (to.placedID === from.placedID && to.variableID === from.variableID && to.kind === from.kind) return;
            this.connect(from, to, this.point(e));
        });
    }

    dragNew(event, block) {
        const ghost = element("div", { class: "editor-ghost" }, block.name);
        document.body.append(ghost);
        const follow = (e) => Object.assign(ghost.style, { left: `${e.clientX + 4}px`, top: `${e.clientY + 4}px` });
        follow(event);
        this.gesture(event, follow, (e) => {
            ghost.remove();
            const box = this.canvas.getBoundingClientRect();
            if (!this.doc || e.clientX < box.left || e.clientX > box.right || e.clientY < box.top || e.clientY > box.bottom) return;
            const at = this.point(e);
            this.addPlacement(block, Math.round(at.x), Math.round(at.y));
        });
    }

    // -- the side panel -----------------------------------------------------------------------------

    showPanel() {
        if (!this.selected) return this.panel.replaceChildren(element("p", { class: "meta" },
            "Drag a block from the list onto the canvas; drag from an output to an input or variable to connect."));
        if (this.selected.kind === "edge") {
            const { connection } = this.paths.get(this.selected.key);
            return this.panel.replaceChildren(element("h3", {}, "Connection"),
                element("p", {}, `#${connection.origin.placedID}.${connection.origin.variableID} → #${connection.destination.placedID}.${connection.destination.variableID}`),
                element("button", { type: "button", onclick: () => this.deleteSelection() }, "Delete"));
        }
        const placement = this.placement(this.selected.placedID);
        const block = this.blockOf(placement);
        if (!block) return this.panel.replaceChildren(element("p", {}, "This placement names no block of the plugin."));
        const state = placement.state;
        const messages = element("ul", { class: "messages" });
        const edited = () => this.checkPlacement(placement, messages);
        const setVariable = (variable, value) => this.change(() => { setEntryValue(state, variable, value); edited(); },
                                                             { coalesce: `${placement.placedID}:var:${variable.id}` });
        const setInput = (variable, value) => this.change(() => {
            placement.inputs = { ...(placement.inputs || {}), [variable.id]: value }; edited();
        }, { coalesce: `${placement.placedID}:in:${variable.id}` });
        const taker = (onChange) => ({ takeCustom: (id, value) => { onChange(value); this.showPanel(); return true; } });
        const row = (variable, value, onChange) => element("label", { class: "field", "data-variable": variable.id },
            element("span", {}, variable.name || variable.id), control(variable, value, onChange,
                () => this.openCustom(taker(onChange), variable, `${block.name}: ${variable.name}`)));
        const selectOf = (options, current, onChange, name) => element("select", { name, onchange: (e) => onChange(e.target.value) },
            ...options.map((o) => element("option", o === current ? { selected: "" } : {}, o)));
        const result = this.states.get(placement.placedID)?.result;
        this.panel.replaceChildren(...[
            element("h3", {}, block.name, element("span", { class: "kind" }, block.type)),
            element("div", { class: "meta" }, `${block.id} #${placement.placedID}`),
            element("div", { class: "actions" },
                element("button", { type: "button", "data-action": "duplicate", onclick: () => this.duplicate(placement.placedID) }, "Duplicate"),
                element("button", { type: "button", "data-action": "delete", onclick: () => this.deleteSelection() }, "Delete")),
            element("label", { class: "field" }, element("span", {}, "Remote"),
                selectOf([...new Set([...this.remotes, state.selectedRemote || "Local"])], state.selectedRemote || "Local",
                         (v) => this.change(() => { state.selectedRemote = v; }, { coalesce: `${placement.placedID}:remote` }), "selectedRemote")),
            block.inputs.length > 1 ? element("label", { class: "field" }, element("span", {}, "Input group"),
                selectOf(block.inputs.map((g) => g.id), this.selectedGroup(placement),
                         (v) => this.change(() => { state.selectedInputGroup = v; }), "selectedInputGroup")) : null,
            block.variables.length ? element("h4", {}, "Variables") : null,
            ...block.variables.map((v) => row(v, entryValue(state, v), (value) => setVariable(v, value))),
            this.inputsOf(placement).length ? element("h4", {}, "Inputs") : null,
            ...this.inputsOf(placement).map((v) => row(v, (placement.inputs || {})[v.id] ?? v.value, (value) => setInput(v, value))),
            messages,
            result ? this.resultView(result) : null,
        ].filter(Boolean));
    }

    async checkPlacement(placement, messages) {
        const block = this.blockOf(placement);
        const variables = Object.fromEntries(block.variables.filter((v) => (placement.state.variables || []).some((e) => e.id === v.id))
            .map((v) => [v.id, entryValue(placement.state, v)]));
        const { data } = await api("/api/check", { block: block.id, variables, inputs: placement.inputs || {},
                                                   inputGroup: this.selectedGroup(placement) });
        messages.replaceChildren(...(data.problems || [data.error]).filter(Boolean).map((m) => element("li", {}, m)));
    }

    resultView(r) {
        const text = (label, value) => value && String(value).trim() ? element("div", {}, element("b", {}, label), element("pre", {}, value)) : null;
        const outputs = Object.entries(r.outputs || {});
        return element("section", { class: "node-result" }, ...[
            element("h4", {}, `Run: ${r.status}`),
            r.error ? element("div", { class: "badge-error" }, r.error) : null,
            r.job ? element("div", { class: "job" }, `job ${r.job.jobID}: ${r.job.status}`) : null,
            outputs.length ? element("table", { class: "outputs" }, ...outputs.map(([k, v]) =>
                element("tr", {}, element("th", {}, k), element("td", {}, typeof v === "string" ? v : JSON.stringify(v))))) : null,
            text("Logs", r.blockLogs), text("Traceback", r.pluginTraceback),
        ].filter(Boolean));
    }

    // -- saving and running ------------------------------------------------------------------------------

    async save(asCopy) {
        const id = String(this.doc.savedID);
        const query = asCopy ? `?copy=${encodeURIComponent(this.copyField.value)}` : "";
        const { status, data } = await api(`/api/flows/${encodeURIComponent(id)}${query}`, this.doc, "PUT");
        this.markProblems(data.problems || []);
        if (status !== 200) return this.say(`not saved: ${problemText(data)}`, "error");
        this.say(`saved to ${data.path}${data.problems.length ? ` (${problemText(data)})` : ""}`, "ok");
        await this.refreshList();
        this.savedPath = data.path;
    }

    markProblems(problems) {
        for (const node of this.nodes.values()) node.classList.remove("problem");
        for (const p of problems) if (p.level === "error" && p.placedID !== undefined) this.nodes.get(p.placedID)?.classList.add("problem");
    }

    async run() {
        const { status, data } = await api("/api/run", { document: this.doc });
        if (status !== 202) this.say(`not run: ${data.error}`, "error");
    }

    setState(placedID, status, text, result) {
        const previous = this.states.get(placedID);
        this.states.set(placedID, { status, text, result: result ?? previous?.result ?? null });
        const node = this.nodes.get(placedID);
        if (!node) return;
        node.className = node.className.replace(/\bstate-\S+/g, "").trim() + ` state-${status}`;
        node.querySelector(".run-state").textContent = text;
    }

    onRunEvent(kind, data) {
        if (kind === "run") {
            this.runSavedID = String(data.savedID);
            if (!this.doc || this.runSavedID !== String(this.doc.savedID)) return;
            this.states = new Map();
            for (const b of data.blocks) this.setState(b.placedID, "waiting", "waiting");
            this.say(`running in ${data.folder}`);
        }
        if (!this.doc || this.runSavedID !== String(this.doc.savedID)) return;
        if (kind === "block") this.setState(data.placedID, "running", "running");
        if (kind === "progress" && data.placedID !== undefined) this.setState(data.placedID, "job", `job ${data.jobID} ${data.status}`);
        if (kind === "result") {
            const names = { ok: ["finished", "finished"], error: ["failed", "failed"] };
            const [status, text] = names[data.status] || [data.status, data.status];
            this.setState(data.placedID, status, data.job ? `${text} (job ${data.job.jobID} ${data.job.status})` : text, data);
            if (this.selected?.kind === "node" && this.selected.placedID === data.placedID) this.showPanel();
        }
        if (kind === "end") this.say(data.ok ? `run finished; flow saved to ${data.savedTo}` : `run failed: ${data.error || "a block failed"}`,
                                     data.ok ? "ok" : "error");
    }
}

function removeConnections(doc, keep) {
    doc.connections = (doc.connections || []).filter(keep);
    for (const b of doc.blocks) if (b.state?.variableConnections) b.state.variableConnections = b.state.variableConnections.filter(keep);
}

function problemText(data) {
    if (Array.isArray(data?.problems)) return data.problems.map((p) => p.message).join("; ");
    return data?.error || "refused";
}
