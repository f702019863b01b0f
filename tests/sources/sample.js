// Event scheduling for a small calendar widget.

class EventQueue {
  constructor() {
    this.events = [];
  }

  schedule(event) {
    this.events.push(event);
    this.events.sort((a, b) => a.start - b.start);
  }

  next(now) {
    return this.events.find((event) => event.start >= now);
  }
}

function formatTime(date) {
  function pad(value) {
    return String(value).padStart(2, "0");
  }
  return `${pad(date.getHours())}:${pad(date.getMinutes())}`;
}

const remind = function (event) {
  console.log("Reminder: " + event.title;
};

class RecurringEvent extends EventQueue {
  schedule(event) {
    for (let week = 0; week < 4; week++) {
      super.schedule({ ...event, start: event.start + week * 7 });
    }
  }
}

export { EventQueue, RecurringEvent, formatTime, remind };
