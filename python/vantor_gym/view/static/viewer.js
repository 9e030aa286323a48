"use strict";
// The viewer's pages: a board drawn as the server's board_svg draws it (the same piece
// symbols, squares and colours), the replay, watch and play pages around it. Positions
// and legality always come from the server; the page only shows them and sends moves.

const SETTINGS = JSON.parse(document.getElementById("settings").textContent);
const SVG = "http://www.w3.org/2000/svg";
const FILES = "abcdefgh";
const CODES = "PNBRQKpnbrqk";  // symbol vantor-piece-N draws CODES[N]

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === "text") node.textContent = value;
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value);
  }
  node.append(...children);
  return node;
}

function vector(tag, attributes = {}) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
  return node;
}

let errorTimer = null;
function showError(text) {
  const box = document.getElementById("error");
  box.textContent = text;
  box.hidden = false;
  clearTimeout(errorTimer);
  errorTimer = setTimeout(() => { box.hidden = true; }, 6000);
}

async function getJson(url) {
  const response = await fetch(url, { cache: "no-store" });
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

function socketUrl(path) {
  return (location.protocol === "https:" ? "wss://" : "ws://") + location.host + path;
}

// The pieces of a FEN's first field, by square name.
function placement(fen) {
  const pieces = {};
  fen.split(" ")[0].split("/").forEach((rank, row) => {
    let column = 0;
    for (const char of rank) {
      if (/[1-8]/.test(char)) column += Number(char);
      else pieces[FILES[column++] + (8 - row)] = char;
    }
  });
  return pieces;
}

// "mate" or "check" when a move's SAN says the side to move is mated or in check.
function checkOf(move) {
  if (!move || !move.san) return null;
  return move.san.endsWith("#") ? "mate" : move.san.endsWith("+") ? "check" : null;
}

// The line beside the board once a game has ended: its result and how it ended.
function outcomeText(result, ending) {
  if (!result || result === "*") return "";
  const winner = { "1-0": "White wins", "0-1": "Black wins", "1/2-1/2": "Draw" }[result] || result;
  return `${result}: ${winner}` + (ending ? ` (${ending})` : "");
}

function pieceSymbol(letter, size) {
  const picture = vector("svg", { viewBox: "0 0 1 1", width: size, height: size });
  picture.append(vector("use", { href: `#vantor-piece-${CODES.indexOf(letter)}`, width: 1, height: 1 }));
  return picture;
}

class Board {
  // options.onMove(uci) is called with a move the person made; options.legal() gives the
  // legal moves (UCI) to mark, options.mine(letter) whether a piece is the person's.
  constructor(parent, options = {}) {
    this.options = options;
    this.orientation = "white";
    this.fen = "8/8/8/8/8/8/8/8 w - - 0 1";
    this.last = null;
    this.check = null;
    this.selected = null;
    this.box = element("div", { class: "board-box" });
    this.root = vector("svg", { class: "vantor-board", viewBox: "0 0 8 8" });
    this.squares = vector("g");
    this.marks = vector("g");
    this.pieces = vector("g");
    this.root.append(this.squares, this.marks, this.pieces);
    this.box.append(this.root);
    this.outcome = element("div", { class: "outcome" });
    parent.append(this.box, this.outcome);
    if (options.onMove) this.listen();
  }

  // last: the last move's UCI; check: "check" or "mate" for the side to move's king.
  set(fen, last = null, orientation = this.orientation, check = null) {
    this.fen = fen;
    this.last = last;
    this.check = check;
    this.orientation = orientation;
    this.selected = null;
    this.draw();
  }

  at(name) {
    const column = FILES.indexOf(name[0]), row = 8 - Number(name[1]);
    return this.orientation === "black" ? [7 - column, 7 - row] : [column, row];
  }

  nameAt(x, y) {
    if (x < 0 || x > 7 || y < 0 || y > 7) return null;
    const [column, row] = this.orientation === "black" ? [7 - x, 7 - y] : [x, y];
    return FILES[column] + (8 - row);
  }

  draw() {
    const marked = this.last ? [this.last.slice(0, 2), this.last.slice(2, 4)] : [];
    const colours = SETTINGS.colours;
    this.squares.replaceChildren();
    for (let row = 0; row < 8; row++) {
      for (let column = 0; column < 8; column++) {
        const name = FILES[column] + (8 - row);
        const light = (row + column) % 2 === 0;
        const tint = marked.includes(name) ? (light ? colours.lightMarked : colours.darkMarked)
          : (light ? colours.light : colours.dark);
        const [x, y] = this.at(name);
        this.squares.append(vector("rect", { class: "square", "data-square": name, x, y, width: 1, height: 1,
                                             fill: tint }));
      }
    }
    this.drawCoordinates();
    this.drawCheck();
    this.pieces.replaceChildren();
    for (const [name, letter] of Object.entries(placement(this.fen))) {
      const [x, y] = this.at(name);
      const piece = vector("g", { class: "piece", "data-square": name, "data-piece": letter,
                                  transform: `translate(${x} ${y})` });
      piece.append(vector("use", { href: `#vantor-piece-${CODES.indexOf(letter)}`, width: 1, height: 1 }));
      this.pieces.append(piece);
    }
    this.drawMarks();
  }

  // File letters along the bottom edge and rank numbers along the left, as the board is turned.
  drawCoordinates() {
    for (let i = 0; i < 8; i++) {
      const file = this.nameAt(i, 7)[0], rank = this.nameAt(0, i)[1];
      const dark = (i + 7) % 2 === 1;
      const letter = vector("text", { class: "coordinate", x: i + 0.94, y: 7.94, "text-anchor": "end",
                                      fill: dark ? SETTINGS.colours.light : SETTINGS.colours.dark });
      letter.textContent = file;
      const number = vector("text", { class: "coordinate", x: 0.05, y: i + 0.22,
                                      fill: i % 2 === 1 ? SETTINGS.colours.light : SETTINGS.colours.dark });
      number.textContent = rank;
      this.squares.append(letter, number);
    }
  }

  // A red glow under the king of the side to move when it is in check or mated.
  drawCheck() {
    if (!this.check) return;
    const king = this.fen.split(" ")[1] === "b" ? "k" : "K";
    const square = Object.entries(placement(this.fen)).find(([, letter]) => letter === king);
    if (!square) return;
    const [x, y] = this.at(square[0]);
    this.squares.append(vector("circle", { class: `king-${this.check}`, "data-square": square[0], cx: x + 0.5,
                                           cy: y + 0.5, r: 0.48 }));
  }

  drawMarks() {
    this.marks.replaceChildren();
    if (!this.selected) return;
    const [x, y] = this.at(this.selected);
    this.marks.append(vector("rect", { class: "selected", x, y, width: 1, height: 1 }));
    for (const uci of this.targets(this.selected)) {
      const [tx, ty] = this.at(uci.slice(2, 4));
      this.marks.append(vector("circle", { class: "target", cx: tx + 0.5, cy: ty + 0.5, r: 0.16 }));
    }
  }

  targets(from) {
    const legal = this.options.legal ? this.options.legal() : [];
    return legal.filter((uci) => uci.startsWith(from));
  }

  point(event) {
    const matrix = this.root.getScreenCTM().inverse();
    const p = new DOMPoint(event.clientX, event.clientY).matrixTransform(matrix);
    return [p.x, p.y];
  }

  listen() {
    let drag = null;
    this.root.addEventListener("pointerdown", (event) => {
      const [x, y] = this.point(event);
      const name = this.nameAt(Math.floor(x), Math.floor(y));
      if (!name) return;
      const letter = placement(this.fen)[name];
      // The second click of a click-click move; onto a piece of the person's own only where
      // that is a move (Chess960's castling: the king onto its rook).
      const onto = this.selected && this.targets(this.selected).some((uci) => uci.slice(2, 4) === name);
      if (this.selected && this.selected !== name && (!(letter && this.options.mine(letter)) || onto)) {
        this.attempt(this.selected, name);
        return;
      }
      if (!letter || !this.options.mine(letter)) return;
      const piece = this.pieces.querySelector(`[data-square="${name}"]`);
      drag = { from: name, piece, moved: false, wasSelected: this.selected === name };
      this.selected = name;
      this.drawMarks();
      piece.classList.add("dragging");
      this.pieces.append(piece);  // drawn over the others while it moves
      this.root.setPointerCapture(event.pointerId);
    });
    this.root.addEventListener("pointermove", (event) => {
      if (!drag) return;
      const [x, y] = this.point(event);
      drag.moved = true;
      drag.piece.setAttribute("transform", `translate(${x - 0.5} ${y - 0.5})`);
    });
    this.root.addEventListener("pointerup", (event) => {
      if (!drag) return;
      const [x, y] = this.point(event);
      const to = this.nameAt(Math.floor(x), Math.floor(y));
      const from = drag.from, wasSelected = drag.wasSelected;
      drag.piece.classList.remove("dragging");
      drag = null;
      if (to && to !== from) this.attempt(from, to);
      else if (wasSelected) this.set(this.fen, this.last);  // a second click on it lets it go
      else this.draw(), this.selected = from, this.drawMarks();
    });
  }

  attempt(from, to) {
    const letter = placement(this.fen)[from];
    this.selected = null;
    if ((letter === "P" && to[1] === "8") || (letter === "p" && to[1] === "1")) {
      this.choosePromotion(letter === "P", (piece) => this.options.onMove(from + to + piece));
      return;
    }
    this.options.onMove(from + to);
  }

  choosePromotion(white, chosen) {
    const chooser = element("div", { class: "promotion", role: "dialog" });
    for (const piece of "qrbn") {
      const letter = white ? piece.toUpperCase() : piece;
      const button = element("button", { "data-promotion": piece, title: piece, onclick: () => {
        chooser.remove();
        chosen(piece);
      } });
      button.append(pieceSymbol(letter, 56));
      chooser.append(button);
    }
    chooser.append(element("button", { text: "×", title: "cancel", onclick: () => {
      chooser.remove();
      this.draw();
    } }));
    this.box.append(chooser);
  }
}

// A numbered move list; onPick(ply) when a move is clicked (ply 1 is the first move).
function moveList(parent, onPick) {
  const list = element("div", { class: "moves" });
  parent.append(list);
  return {
    show(moves, start, current) {
      list.replaceChildren();
      let number = Number(start.split(" ")[5] || 1);
      let white = start.split(" ")[1] !== "b";
      moves.forEach((move, index) => {
        if (white || index === 0) list.append(element("span", { class: "number", text: `${number}.${white ? "" : ".."}` }));
        const item = element("span", { class: "move" + (index + 1 === current ? " current" : ""), "data-ply": index + 1,
                                       text: move.san });
        if (onPick) item.addEventListener("click", () => onPick(index + 1));
        list.append(item);
        if (!white) number++;
        white = !white;
      });
      // Scrolls the list alone, not the page, to keep the current move in sight.
      const here = list.querySelector(".current");
      if (here && (here.offsetTop < list.scrollTop || here.offsetTop > list.scrollTop + list.clientHeight - 24)) {
        list.scrollTop = here.offsetTop - list.clientHeight / 2;
      }
    },
  };
}

function fenBox(parent) {
  const field = element("input", { readonly: "", "aria-label": "FEN", class: "fen-text" });
  const copy = element("button", { text: "Copy FEN", onclick: async () => {
    field.select();
    try { await navigator.clipboard.writeText(field.value); } catch { document.execCommand("copy"); }
  } });
  parent.append(element("div", { class: "fen" }, field, copy));
  return field;
}

function replayPage(main) {
  const left = element("div", { class: "column" });
  const right = element("div", { class: "column" });
  main.append(left, right);
  const title = element("div", { class: "status" });
  left.append(title);
  const board = new Board(left);
  const controls = element("div", { class: "controls" });
  left.append(controls);
  const fen = fenBox(left);
  const moves = moveList(right, (ply) => go(ply));
  right.lastChild.classList.add("short");
  const table = element("table", { class: "games" });
  const pager = element("div", { class: "pager" });
  right.append(table, pager);
  let game = null, ply = 0, page = 0, pages = 1;

  const buttons = [["first", "|◀", () => go(0)], ["previous", "◀", () => go(ply - 1)],
                   ["next", "▶", () => go(ply + 1)], ["last", "▶|", () => go(Infinity)]];
  for (const [name, label, act] of buttons) controls.append(element("button", { "data-action": name, title: name,
                                                                                  text: label, onclick: act }));
  const download = element("a", { class: "download", text: "Download PGN" });
  controls.append(download);

  function go(target) {
    if (!game) return;
    ply = Math.max(0, Math.min(game.moves.length, target));
    const shown = ply ? game.moves[ply - 1] : null;
    board.set(shown ? shown.fen : game.start, shown ? shown.uci : null, board.orientation, checkOf(shown));
    board.outcome.textContent = ply === game.moves.length ? outcomeText(game.result, game.ending) : "";
    fen.value = shown ? shown.fen : game.start;
    moves.show(game.moves, game.start, ply);
    main.dataset.ply = ply;
  }

  async function open(index) {
    try {
      game = await getJson(`/api/games/${index}`);
    } catch (error) { showError(error.message); return; }
    const h = game.headers;
    title.textContent = `${h.White || "?"} – ${h.Black || "?"}  ${game.result}` + (h.Event ? `  (${h.Event})` : "");
    download.href = `/api/games/${index}/pgn`;
    download.setAttribute("download", `game-${index + 1}.pgn`);
    main.dataset.game = index;
    for (const row of table.querySelectorAll("tbody tr")) row.classList.toggle("current", row.dataset.index == index);
    go(0);
  }

  async function list(wanted) {
    let body;
    try { body = await getJson(`/api/games?page=${wanted}`); } catch (error) { showError(error.message); return; }
    page = body.page; pages = body.pages;
    const head = element("tr", {}, ...["#", "White", "Black", "Result", "Event", "Date", "Plies"]
      .map((text) => element("th", { text })));
    const rows = body.games.map((g) => element("tr", { "data-index": g.index, onclick: () => open(g.index) },
      ...[g.index + 1, g.white, g.black, g.result, g.event, g.date, g.plies].map((text) => element("td", { text }))));
    table.replaceChildren(element("thead", {}, head), element("tbody", {}, ...rows));
    const skipped = body.skipped ? `, ${body.skipped} unreadable left out` : "";
    pager.replaceChildren(
      element("button", { text: "◀ page", "data-action": "previous-page", onclick: () => page > 0 && list(page - 1) }),
      element("span", { class: "page-number", text: `page ${page + 1} of ${pages} (${body.total} games${skipped})` }),
      element("button", { text: "page ▶", "data-action": "next-page", onclick: () => page + 1 < pages && list(page + 1) }));
    main.dataset.page = page;
    if (!game && body.games.length) open(body.games[0].index);
  }

  document.addEventListener("keydown", (event) => {
    if (event.target.tagName === "INPUT") return;
    const keys = { ArrowLeft: ply - 1, ArrowRight: ply + 1, Home: 0, End: Infinity, ArrowUp: 0, ArrowDown: Infinity };
    if (event.key in keys) { event.preventDefault(); go(keys[event.key]); }
  });
  list(0);
}

// The learning curve: each opponent's score against the minutes of training.
function drawCurve(parent, records) {
  const width = 460, height = 220, left = 40, bottom = 30, top = 10, right = 130;
  const picture = vector("svg", { width, height, viewBox: `0 0 ${width} ${height}`, class: "curve" });
  const most = Math.max(1, ...records.map((r) => r.minutes));
  const x = (m) => left + (m / most) * (width - left - right);
  const y = (s) => height - bottom - s * (height - bottom - top);
  picture.append(vector("line", { class: "axis", x1: left, y1: y(0), x2: x(most), y2: y(0) }),
                 vector("line", { class: "axis", x1: left, y1: y(0), x2: left, y2: y(1) }));
  for (const s of [0, 0.5, 1]) {
    const label = vector("text", { class: "axis-label", x: 4, y: y(s) + 4 });
    label.textContent = `${s * 100}%`;
    picture.append(label);
  }
  const axis = vector("text", { class: "axis-label", x: left, y: height - 8 });
  axis.textContent = `minutes of training (0 to ${most.toFixed(0)})`;
  picture.append(axis);
  const palette = ["#3b6ea5", "#c0392b", "#27ae60", "#8e44ad", "#d35400"];
  const names = [...new Set(records.map((r) => r.opponent))];
  names.forEach((name, i) => {
    const latest = new Map();
    for (const r of records) if (r.opponent === name) latest.set(r.minutes, r);
    const rows = [...latest.values()].sort((a, b) => a.minutes - b.minutes);
    const colour = palette[i % palette.length];
    // Each line narrower than the one drawn before it, and every other one dashed: lines
    // that lie on each other (two opponents both at 100 %) all stay in sight.
    const widths = { "stroke-width": 2 + 2.5 * (names.length - 1 - i), "stroke-opacity": 0.85 };
    const dashes = i % 2 ? { "stroke-dasharray": "6 4" } : {};
    picture.append(vector("polyline", { fill: "none", stroke: colour, ...widths, ...dashes, "data-opponent": name,
                                        points: rows.map((r) => `${x(r.minutes)},${y(r.score)}`).join(" ") }));
    for (const r of rows) {
      picture.append(vector("line", { stroke: colour, x1: x(r.minutes), x2: x(r.minutes), y1: y(r.score_low),
                                      y2: y(r.score_high) }));
      picture.append(vector("circle", { class: "point", fill: colour, cx: x(r.minutes), cy: y(r.score), r: 3 }));
    }
    const label = vector("text", { x: width - right + 10, y: top + 14 + 16 * i, fill: colour });
    label.textContent = `against ${name}`;
    picture.append(label);
  });
  parent.replaceChildren(picture);
}

function watchPage(main) {
  const left = element("div", { class: "column" });
  const right = element("div", { class: "column" });
  main.append(left, right);
  const title = element("div", { class: "status", text: "Waiting for games…" });
  left.append(title);
  const board = new Board(left);
  board.set("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
  const fen = fenBox(left);
  const search = element("div", { class: "search" });
  right.append(element("strong", { text: "Search at the last move" }), search);
  const moves = moveList(right);
  const games = element("div", { class: "controls games-list" });
  const chart = element("div", { class: "chart" });
  right.append(element("strong", { text: "Games" }), games);
  left.append(chart);
  let game = null, socket = null;

  function showGame() {
    const last = game.moves[game.moves.length - 1];
    board.set(last ? last.fen : game.start, last ? last.uci : null, board.orientation, checkOf(last));
    board.outcome.textContent = outcomeText(game.result, game.ending);
    fen.value = last ? last.fen : game.start;
    moves.show(game.moves, game.start, game.moves.length);
    title.textContent = `Game ${game.number}: ${game.white} – ${game.black}` + (game.result ? `  ${game.result}` : "");
    main.dataset.game = game.number;
    main.dataset.plies = game.moves.length;
    search.replaceChildren();
    if (last && last.top) {
      search.append(element("div", { text: `value ${last.value >= 0 ? "+" : ""}${last.value.toFixed(2)} for the side that moved` }));
      for (const t of last.top) search.append(element("div", { class: "top-move", text: `${t.san}  ${(t.share * 100).toFixed(0)}% of visits` }));
    } else search.append(element("div", { text: "no search chose this move" }));
  }

  function connect() {
    socket = new WebSocket(socketUrl("/ws/watch"));
    socket.onmessage = (event) => {
      const message = JSON.parse(event.data);
      if (message.type === "error") showError(message.message);
      else if (message.type === "game") { game = message; showGame(); }
      else if (message.type === "moves" && game && game.number === message.number) {
        game.moves.push(...message.moves);
        game.result = message.result;
        game.ending = message.ending;
        showGame();
      } else if (message.type === "games") {
        games.replaceChildren(element("button", { text: "newest", onclick: () => follow(null) }),
          ...message.games.slice().reverse().map((g) => element("button", { "data-game": g.number,
            text: `#${g.number} ${g.plies} plies${g.result ? " " + g.result : ""}`, onclick: () => follow(g.number) })));
      }
    };
    socket.onclose = () => { title.textContent = "The run has ended or the viewer stopped."; };
  }

  function follow(number) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify({ type: "follow", game: number }));
  }

  async function curve() {
    try {
      const body = await getJson("/api/curve");
      if (body.records.length) drawCurve(chart, body.records);
      main.dataset.curvePoints = body.records.length;
    } catch (error) { /* the next poll tries again */ }
  }
  connect();
  curve();
  setInterval(curve, 3000);
}

function playPage(main) {
  const left = element("div", { class: "column" });
  const right = element("div", { class: "column" });
  main.append(left, right);
  const status = element("div", { class: "status", text: "Starting…" });
  left.append(status);
  let position = null, socket = null;
  const board = new Board(left, {
    onMove: (uci) => send({ type: "move", uci }),
    legal: () => (position && position.turn === position.colour ? position.legal : []),
    mine: (letter) => position && position.turn === position.colour && !position.over
      && (letter === letter.toUpperCase()) === (position.colour === "white"),
  });
  const colour = element("select", { "aria-label": "your colour" },
                         element("option", { value: "white", text: "White" }),
                         element("option", { value: "black", text: "Black" }));
  left.append(element("div", { class: "controls" },
    element("label", { text: "Play as " }, colour),
    element("button", { text: "New game", "data-action": "new", onclick: () => send({ type: "new", colour: colour.value }) }),
    element("button", { text: "Take back", "data-action": "undo", onclick: () => send({ type: "undo" }) })));
  const moves = moveList(right);
  const pgn = element("textarea", { class: "pgn", readonly: "", hidden: "" });
  right.append(pgn);

  function send(message) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  }

  function show(message) {
    position = message;
    const last = message.moves[message.moves.length - 1];
    board.set(message.fen, last ? last.uci : null, message.colour, checkOf(last));
    board.outcome.textContent = message.over ? outcomeText(message.result, message.ending) : "";
    moves.show(message.moves, "x w - - 0 1", message.moves.length);
    main.dataset.plies = message.moves.length;
    main.dataset.over = message.over;
    if (message.over) status.textContent = message.ending ? `${message.result} (${message.ending})` : message.result;
    else status.textContent = message.turn === message.colour ? "Your move" : "Thinking…";
    pgn.hidden = !message.over;
    pgn.value = message.pgn || "";
  }

  socket = new WebSocket(socketUrl("/ws/play"));
  socket.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.type === "position") show(message);
    else if (message.type === "thinking") status.textContent = "Thinking…";
    else if (message.type === "error") {
      showError(message.message);
      if (position) board.set(position.fen, board.last, position.colour, board.check);  // the move snaps back
    }
  };
  socket.onclose = () => { status.textContent = "The game is closed."; };
}

function start() {
  const nav = document.getElementById("pages");
  for (const page of SETTINGS.pages) {
    nav.append(element("a", { href: `/${page}`, class: page === SETTINGS.page ? "here" : "",
                              text: page[0].toUpperCase() + page.slice(1) }));
  }
  const main = document.getElementById("main");
  main.dataset.view = SETTINGS.page;
  ({ replay: replayPage, watch: watchPage, play: playPage })[SETTINGS.page](main);
  main.dataset.ready = "true";
}

start();
